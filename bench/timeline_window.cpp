// The timeline in the real window (Qt's offscreen platform unless another is chosen): opens
// FILE as the command line does and prints, in seconds from the end of the opening, the first
// thumbnail, every key frame's thumbnail and the waveform on the widget, and the longest delay
// of a 10 ms timer meanwhile, that is how long a click would have waited at worst.
//   bench_timeline_window FILE
#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "AppServices.h"
#include "MainUnit.h"
#include "QtMainThread.h"
#include "Timeline.h"
#include "TimelineFeed.h"
#include "runtime/MainThread.h"

namespace {

using TClock = std::chrono::steady_clock;

double Since(TClock::time_point t0) { return std::chrono::duration<double>(TClock::now() - t0).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_timeline_window FILE\n");
    return 2;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  // The window keeps its settings; the user's own stay untouched.
  QTemporaryDir config;
  setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  BindMainThreadToQt();
  TfrmMain window(DefaultDialogs(), DefaultShell());
  window.show();
  QApplication::processEvents();

  const auto opening = TClock::now();
  window.OpenFromCommandLine(QString::fromLocal8Bit(argv[1]));
  const double open = Since(opening);
  const auto t0 = TClock::now();
  auto* feed = window.Timeline1->findChild<TTimelineFeed*>();
  double first = -1, all = -1, wave = -1, longest = 0, longestAt = 0;
  auto last = TClock::now();
  QEventLoop loop;
  QTimer tick;
  tick.setInterval(10);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const auto now = TClock::now();
    const double delay = std::chrono::duration<double, std::milli>(now - last).count() - 10;
    if (delay > longest) {
      longest = delay;
      longestAt = Since(t0);
    }
    last = now;
    if (first < 0 && window.Timeline1->ThumbnailCount() > 0) first = Since(t0);
    if (all < 0 && feed && feed->StripComplete()) all = Since(t0);
    if (wave < 0 && feed && feed->WaveformDone()) wave = Since(t0);
    if ((all >= 0 && wave >= 0) || Since(t0) > 600) loop.quit();
  });
  tick.start();
  last = TClock::now();
  loop.exec();
  printf("open=%.3f first=%.3f all=%.3f waveform=%.3f thumbnails=%d latency_ms=%.1f latency_at=%.3f\n", open, first,
         all, wave, window.Timeline1->ThumbnailCount(), longest, longestAt);
  fflush(stdout);
  SetMainThreadWakeUp(nullptr);
  SetMainThreadIdle(nullptr);
  return all >= 0 && wave >= 0 ? 0 : 1;
}
