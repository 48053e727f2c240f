// Drives the timeline's producers as the window does (background threads, results on the main
// thread) over one file and prints, in seconds: the first screen of thumbnails (10 over the
// whole file), all of them (one per key frame) and the whole waveform, each from an empty
// cache; and the longest a call posted to the main thread waited meanwhile.
//   bench_timeline FILE
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "runtime/MainThread.h"
#include "timeline/Thumbnails.h"
#include "timeline/Waveform.h"

namespace {

using TClock = std::chrono::steady_clock;

double Since(TClock::time_point t0) { return std::chrono::duration<double>(TClock::now() - t0).count(); }

// Posts a probe to the main thread every 10 ms and keeps the longest wait.
class TLatencyProbe {
public:
  TLatencyProbe()
      : FThread([this] {
          while (!FStop) {
            const auto posted = TClock::now();
            PostToMainThread([this, posted] {
              const double ms = std::chrono::duration<double, std::milli>(TClock::now() - posted).count();
              FLongest = std::max(FLongest, ms);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        }) {}
  ~TLatencyProbe() {
    FStop = true;
    FThread.join();
    ProcessMainThreadCalls();
  }
  double Longest() const { return FLongest; }

private:
  std::atomic<bool> FStop{false};
  double FLongest = 0;  // main thread only
  std::thread FThread;
};

struct TThumbTimes {
  double Done = -1, Tenth = -1;
  int Count = 0, Decoded = 0;
};

TThumbTimes RunThumbnails(const std::string& path, int count) {
  ClearThumbnailCache();
  TThumbnailProducer producer;
  TThumbTimes t;
  bool done = false;
  const auto t0 = TClock::now();
  producer.OnThumbnail = [&](const TThumbnail&) {
    if (++t.Count == 10) t.Tenth = Since(t0);
  };
  producer.OnDone = [&](bool ok, const std::string& error) {
    if (!ok) fprintf(stderr, "thumbnails: %s\n", error.c_str());
    t.Done = Since(t0);
    done = true;
  };
  TThumbnailRequest q;
  q.Count = count;
  producer.Start(path, q);
  WaitInMainThread([&] { return done; });
  t.Decoded = producer.Stats().DecodedPictures;
  return t;
}

double RunWaveform(const std::string& path) {
  ClearWaveformCache();
  TWaveformProducer producer;
  double seconds = -1;
  const auto t0 = TClock::now();
  producer.OnDone = [&](bool ok, const std::vector<float>&, const std::shared_ptr<const TPeakEnvelope>&,
                        const std::string& error) {
    if (!ok) fprintf(stderr, "waveform: %s\n", error.c_str());
    seconds = Since(t0);
  };
  producer.Start(path, 1920);
  WaitInMainThread([&] { return seconds >= 0; });
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_timeline FILE\n");
    return 2;
  }
  MarkMainThread();
  TLatencyProbe probe;
  const TThumbTimes first = RunThumbnails(argv[1], 10);
  const TThumbTimes all = RunThumbnails(argv[1], 0);
  const double wave = RunWaveform(argv[1]);
  printf("first=%.3f all=%.3f waveform=%.3f thumbnails=%d decoded=%d latency_ms=%.1f\n", first.Done, all.Done,
         wave, all.Count, all.Decoded, probe.Longest());
  return 0;
}
