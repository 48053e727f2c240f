#pragma once
// The encoded parts of a frame-exact copy's range (the head and the tail): each has its own
// decoder and encoder and keeps its encoded packets until the run writes them. A part is fed
// either by the run's own reading (one after the other) or by a worker thread that replays
// the plan's reading on an input of its own, so that the head and the tail are encoded at
// the same time. Private to the job layer.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "job/ExactCopyPlan.h"
#include "runtime/NalUnits.h"

namespace exactcopy {

// The packet's NAL units rewritten as `how` says; throws when one is too big for the output.
void Rewrite(AVPacket* pkt, const TNalRewrite& how);

class TPartCoder {
public:
  // head: the pictures before the copied part, else those after it. outLength: the output's
  // NAL length size (0: start codes). aside: the encoder runs on a thread of its own, a few
  // decoded pictures ahead of it, so that decoding goes on while it encodes.
  TPartCoder(const TLayout& L, const TEncoderSetup& setup, int outLength, bool head, bool aside);
  ~TPartCoder();
  TPartCoder(const TPartCoder&) = delete;
  TPartCoder& operator=(const TPartCoder&) = delete;

  // Decodes the packet (null: the end of the input) read from st and encodes the part's
  // pictures it gives; finishes the part once its last picture is decoded.
  void Feed(const AVStream* st, const AVPacket* pkt);
  // The encoder's last packets: the part is complete (rethrows the encoder thread's failure).
  void Finish();
  bool Done() const { return FDone; }
  // What the part had to change to encode its pictures, for the log; read after Finish.
  const std::string& Note() const { return FNote; }
  // Encoded packets, decode order, in the source's video time base on the output's clock.
  std::deque<TPacketPtr>& Packets() { return FPackets; }

private:
  void Encode(AVFrame* frame);  // null: the encoder's last packets
  void Hand(AVFrame* frame);    // to the encoder, here or on its thread
  void EncodeAside();           // the encoder thread

  static constexpr size_t kAhead = 8;  // decoded pictures waiting for the encoder thread at most

  const TLayout& FL;
  const TEncoderSetup& FSetup;
  const int FOutLength;
  const std::set<int64_t>& FWant;
  const int64_t FUntil;  // the part ends once a picture at or after this is decoded
  const AVStream* FSt = nullptr;
  TCodecContextPtr FDec, FEnc;
  TNalRewrite FHow;  // how its packets are written, set when the encoder opens
  TPictureFit FFit;
  std::string FNote;
  bool FDone = false;
  std::deque<TPacketPtr> FPackets;
  // The encoder thread and the pictures it has yet to encode.
  std::thread FEncoder;
  std::mutex FMutex;
  std::condition_variable FCv;
  std::deque<TFramePtr> FQueue;
  bool FEnd = false;     // no more pictures: flush
  bool FFailed = false;  // the encoder thread has given up
  std::exception_ptr FError;
};

// What the run's thread shares with its workers: the stop, and the pause at its gate.
class TPartControl {
public:
  void Stop();
  bool Stopping() const { return FStop.load(); }
  void Hold(bool held);  // the run's thread is at its gate (it may be paused there)
  void WaitWhileHeld();  // a worker, between two packets

private:
  std::atomic<bool> FStop{false};
  std::mutex FMutex;
  std::condition_variable FCv;
  bool FHeld = false;
};

// One part encoded on a thread of its own, reading the input by itself from the plan's
// position. Its coder and results are the run's once Wait says it has ended.
class TPartWorker {
public:
  TPartWorker(const std::string& path, const TLayout& L, const TEncoderSetup& setup, int outLength,
              bool head, TPartControl& control);
  ~TPartWorker();  // ends the thread early when it still runs
  TPartWorker(const TPartWorker&) = delete;
  TPartWorker& operator=(const TPartWorker&) = delete;

  // True once the thread has ended (within ms); rethrows what made it fail.
  bool Wait(int ms);
  TPartCoder& Coder() { return FCoder; }
  bool Stopped() const { return FStopped; }      // ended by a stop, the part cut short
  bool NeededEnd() const { return FNeededEnd; }  // its last picture came only at the input's end

private:
  void Run();
  void Replay(TInput& in);

  const std::string FPath;
  const TLayout& FL;
  const int FFrom;
  TPartControl& FControl;
  TPartCoder FCoder;
  std::atomic<bool> FAbort{false};
  bool FStopped = false, FNeededEnd = false;
  std::exception_ptr FError;
  std::mutex FMutex;
  std::condition_variable FCv;
  bool FEnded = false;
  std::thread FThread;
};

}  // namespace exactcopy
