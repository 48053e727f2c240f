#pragma once
// Small pictures of a file's key frames for the timeline. Only key frames are decoded (their
// packets alone reach the decoder, which also skips anything else), scaled cheaply and turned
// upright as the display matrix says. A producer makes them in a thread of its own and hands
// each one to the main thread as soon as it is made; what was made stays cached per file
// (name, size and time of change) while the program runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "timeline/TimelineWork.h"

struct TThumbnail {
  int64_t Time = 0;  // the key frame's picture time, microseconds as the decoder gives them
  int Slot = -1;     // the asked time it stands for (TThumbnailRequest::Count), else -1
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;  // RGB24, top row first, Width * 3 bytes a row
};

struct TThumbnailRequest {
  // The span [From, To) in microseconds; To <= From means up to the end of the file.
  int64_t From = 0;
  int64_t To = 0;
  // 0: one picture for every key frame in the span. N > 0: N pictures for the times
  // From + i * (To - From) / N, each the key frame at or before its time.
  int Count = 0;
  int Height = 48;  // of every picture; the width follows the upright picture's shape
};

struct TThumbnailStats {
  int DecodedPictures = 0;  // pictures the decoder gave (each one a key frame)
  int FromCache = 0;        // thumbnails served without decoding
};

// Makes the thumbnails in this thread, calling onThumbnail for each as it is made (in time
// order for Count 0, in slot order otherwise) and onProgress with the share done (0..1).
// False with *error set on failure; false without an error when *cancel was set.
bool ProduceThumbnails(const std::string& path, const TThumbnailRequest& request,
                       const std::function<void(const TThumbnail&)>& onThumbnail, std::string* error,
                       const std::atomic<bool>* cancel = nullptr,
                       const std::function<void(double)>& onProgress = {},
                       TThumbnailStats* stats = nullptr);

// Forgets every cached thumbnail (tests, and a host short of memory).
void ClearThumbnailCache();

class TThumbnailProducer {
public:
  // Main thread, for the current run only.
  std::function<void(const TThumbnail&)> OnThumbnail;
  std::function<void(double share)> OnProgress;
  // complete: every asked picture was made; error: why not ("" after a cancel).
  std::function<void(bool complete, const std::string& error)> OnDone;

  // Cancels a running one, then starts on this file.
  void Start(const std::string& path, const TThumbnailRequest& request);
  // Returns within a tenth of a second; nothing of the cancelled run is delivered afterwards.
  void Cancel() { FRun.Cancel(); }
  bool Running() const { return FRun.Running(); }
  // Of the last run, once it has ended.
  TThumbnailStats Stats() const;

private:
  TBackgroundRun FRun;
  std::atomic<int> FDecoded{0}, FFromCache{0};
};
