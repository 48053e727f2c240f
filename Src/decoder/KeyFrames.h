#pragma once
// Key frames of a file's video stream, found by reading its packets, never by decoding. A
// scanner does it in a thread of its own, so that a long file keeps the window responsive
// while they are found; the times found so far can be read at any moment.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Reads every packet of the stream and collects the times of those marked as key frames, in
// microseconds from the stream's start time (the decoder's picture times). streamIndex < 0
// takes the file's first video stream. Stops early, returning false, when *cancel becomes set.
// onFound, when given, receives each time as it is read (in the file's order).
bool ScanKeyFrames(const std::string& fileName, int streamIndex, std::vector<int64_t>* times,
                   std::string* error, const std::atomic<bool>* cancel = nullptr,
                   const std::function<void(int64_t)>& onFound = {});

class TKeyFrameScanner {
public:
  TKeyFrameScanner() = default;
  ~TKeyFrameScanner();
  TKeyFrameScanner(const TKeyFrameScanner&) = delete;
  TKeyFrameScanner& operator=(const TKeyFrameScanner&) = delete;

  // Cancels a running scan, then starts one for this file.
  void Start(const std::string& fileName, int streamIndex);
  // Ends the scan (waits for its thread) and forgets what was found.
  void Cancel();
  bool Running() const { return FRunning; }
  // The scan ran to the end of the file (false while running, after a cancel or a failure).
  bool Complete() const { return FComplete; }
  const std::string& Error() const { return FError; }  // after the scan ended
  // The key frames found so far, sorted and without repeats.
  std::vector<int64_t> Times() const;
  // Changes every time more key frames are found; lets a host poll cheaply.
  uint64_t Generation() const { return FGeneration; }

private:
  std::thread FThread;
  std::atomic<bool> FCancel{false}, FRunning{false}, FComplete{false};
  std::atomic<uint64_t> FGeneration{0};
  mutable std::mutex FLock;
  std::vector<int64_t> FFound;
  std::string FError;
};
