#pragma once
// What the timeline's producers share: the key a file is cached under, opening it with a
// cancel that also breaks blocking reads, and a background run whose results reach the main
// thread only while the run is still the current one.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "runtime/FFOwners.h"

// "path|size|mtime"; empty when the file cannot be examined (it is then never cached).
std::string FileCacheKey(const std::string& path);

// Opens the file and reads its stream information; blocking reads end once *cancel is set.
// Returns 0 or a negative FFmpeg code, with *error set.
int OpenTimelineInput(const std::string& path, const std::atomic<bool>* cancel, TInputFormatPtr* ic,
                      std::string* error);

// Time origin of the file's pictures: the video stream's start (the decoder's picture times
// count from there), else the given stream's, else 0. Stream ticks of `st`.
int64_t TimelineOrigin(const AVFormatContext* ic, const AVStream* st);

// Reports a share done in whole percents at most, so the main thread is not flooded.
class TProgressStep {
public:
  // True when `share` (0..1) moved on by at least a percent since the last true.
  bool Next(double share);

private:
  int FLast = -1;
};

class TBackgroundRun {
public:
  TBackgroundRun() = default;
  ~TBackgroundRun();
  TBackgroundRun(const TBackgroundRun&) = delete;
  TBackgroundRun& operator=(const TBackgroundRun&) = delete;

  // What a run gets: its cancel flag and the way to hand calls to the main thread.
  class TContext {
  public:
    const std::atomic<bool>& Cancel() const { return *FCancel; }
    bool Cancelled() const { return FCancel->load(); }
    // Queues fn for the main thread; it is dropped when the run was cancelled or replaced
    // before the main thread got to it.
    void Post(std::function<void()> fn) const;

  private:
    friend class TBackgroundRun;
    const std::atomic<bool>* FCancel = nullptr;
    std::shared_ptr<std::atomic<uint64_t>> FCurrent;
    uint64_t FGeneration = 0;
  };

  // Cancels a running one, then runs work on a thread of its own.
  void Start(std::function<void(const TContext&)> work);
  // Sets the cancel flag and waits for the thread. Nothing the run posted is called after
  // this returns (main thread).
  void Cancel();
  bool Running() const { return FRunning; }

private:
  std::thread FThread;
  std::atomic<bool> FCancel{false}, FRunning{false};
  std::shared_ptr<std::atomic<uint64_t>> FCurrent = std::make_shared<std::atomic<uint64_t>>(0);
};
