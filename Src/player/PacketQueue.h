#pragma once
// A queue of demuxed packets for one stream, shared by the reading thread and a decoder. The
// flush packet marks a seek: putting it starts a new serial, and whatever was queued under an
// older serial is stale.
#include <condition_variable>
#include <deque>
#include <mutex>

#include "player/PlayTypes.h"

namespace playcore {

class TPacketQueue {
public:
  // The one flush packet every queue recognises by its address.
  static AVPacket* FlushPacket();
  static bool IsFlush(const AVPacket* pkt) { return pkt == FlushPacket(); }

  // Clears the abort flag and puts a flush packet.
  void Start();
  // Sets the abort flag and wakes every waiting reader.
  void Abort();
  void Flush();
  // Takes over the packet's data (pkt is blanked); the flush packet is recognised. <0 when aborted.
  int Put(AVPacket* pkt);
  // An empty packet: a decoder drains on it.
  int PutNull(int streamIndex);
  // 1 with a packet (its serial in *serial; the flush packet is returned as itself), 0 when empty
  // and not blocking, -1 when aborted. timeoutMs < 0 blocks without limit.
  int Get(TPacketPtr& pkt, bool* isFlush, int* serial, bool block, int timeoutMs = -1);

  int Packets() const;
  int64_t Bytes() const;
  int64_t Duration() const;
  int Serial() const;
  bool Aborted() const;

private:
  struct TNode {
    TPacketPtr Pkt;  // null for the flush packet
    int Serial = 0;
  };
  mutable std::mutex FLock;
  std::condition_variable FCond;
  std::deque<TNode> FNodes;
  int FPackets = 0;
  int64_t FBytes = 0;
  int64_t FDuration = 0;
  bool FAbort = true;
  int FSerial = 0;
};

}  // namespace playcore
