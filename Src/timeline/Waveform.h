#pragma once
// The sound of a file's first audio track as peaks for the timeline. The decoded samples are
// reduced to the loudest sample of any channel in short buckets (no resampling); any number of
// columns over any span is then read from the buckets. A producer decodes in a thread of its
// own (the other streams' packets are not even read where the container allows), reports
// progress and hands the result to the main thread; the buckets stay cached per file (name,
// size and time of change) while the program runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "timeline/TimelineWork.h"

struct TPeakEnvelope {
  int64_t BucketUs = 10000;  // length of a bucket
  int64_t Duration = 0;      // microseconds from the first picture (or sound) to the end
  std::vector<float> Peaks;  // bucket i covers [i, i + 1) * BucketUs; 0..1
};

// Peaks of `columns` equal columns over [from, to): each the loudest bucket it touches.
std::vector<float> PeaksForSpan(const TPeakEnvelope& envelope, int64_t from, int64_t to, int columns);

// Decodes the first audio track in this thread. False with *error set on failure; false
// without an error when *cancel was set.
bool ComputePeakEnvelope(const std::string& path, TPeakEnvelope* out, std::string* error,
                         const std::atomic<bool>* cancel = nullptr,
                         const std::function<void(double)>& onProgress = {});

void ClearWaveformCache();

class TWaveformProducer {
public:
  // Main thread, for the current run only.
  std::function<void(double share)> OnProgress;
  // On success: `columns` peaks over the whole file, and the buckets they came from (for
  // other spans and zoom levels). error: why not ("" after a cancel).
  std::function<void(bool ok, const std::vector<float>& peaks,
                     const std::shared_ptr<const TPeakEnvelope>& envelope, const std::string& error)>
      OnDone;

  // Cancels a running one, then starts on this file.
  void Start(const std::string& path, int columns);
  // Returns within a tenth of a second; nothing of the cancelled run is delivered afterwards.
  void Cancel() { FRun.Cancel(); }
  bool Running() const { return FRun.Running(); }

private:
  TBackgroundRun FRun;
};
