// The window feeds its timeline: every key frame's thumbnail and the sound's peaks arrive from
// background threads, opening another file drops the first one's late results, and the window
// keeps answering meanwhile.
#include "AppTestSupport.h"
#include "Timeline.h"
#include "cli/CliTestSupport.h"
#include "TimelineFeed.h"
#include "runtime/MainThread.h"
#include "timeline/Thumbnails.h"
#include "timeline/Waveform.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Key-frame times of a fixture, µs from its first picture.
std::vector<int64_t> KeyFrameTimes(FixtureKind kind) {
  const FixtureInfo info = GetFixtureInfo(kind);
  std::vector<int64_t> times;
  for (int n : info.keyFrames) times.push_back(std::llround(n * 1e6 * info.frameRate.den / info.frameRate.num));
  return times;
}

bool SameTimes(const std::vector<int64_t>& got, const std::vector<int64_t>& want) {
  if (got.size() != want.size()) return false;
  for (size_t i = 0; i < got.size(); ++i)
    if (std::llabs(got[i] - want[i]) > 1000) return false;
  return true;
}

const QColor kEmptyStrip(48, 52, 58);
const QColor kWave(90, 200, 120);

class TimelineFeedTest : public AppTest {
protected:
  // Every test makes its pictures and peaks from the file itself.
  void SetUp() override {
    AppTest::SetUp();
    ClearThumbnailCache();
    ClearWaveformCache();
  }
  TfrmMain& Open(FixtureKind kind) {
    TfrmMain& w = Window ? *Window : Start();
    w.OpenFromCommandLine(QString::fromStdString(FixturePath(kind)));
    return w;
  }
  // The strip holds a thumbnail for every key frame and the waveform is drawn.
  bool Fed(TTimeline* line, FixtureKind kind) {
    if (!SameTimes(line->ThumbnailTimes(), KeyFrameTimes(kind))) return false;
    const QImage shot = line->grab().toImage();
    const QRect wave = line->WaveRect();
    for (int x = 0; x < shot.width(); ++x)
      if (shot.pixelColor(x, wave.center().y()) == kWave) return true;
    return false;
  }
};

// What is left to make of a span, after pieces made in any order, touching or overlapping.
TEST(CoveredSpans, GapsAreWhatNoPieceCovers) {
  using TSpan = std::pair<int64_t, int64_t>;
  TCoveredSpans c;
  int64_t a = 0, b = 0;
  ASSERT_TRUE(c.FirstGap(0, INT64_MAX, &a, &b));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, INT64_MAX);
  c.Add(100, 200);
  c.Add(300, 400);
  ASSERT_TRUE(c.FirstGap(0, INT64_MAX, &a, &b));
  EXPECT_EQ(TSpan(a, b), TSpan(0, 100));
  ASSERT_TRUE(c.FirstGap(150, 350, &a, &b));
  EXPECT_EQ(TSpan(a, b), TSpan(200, 300));
  EXPECT_FALSE(c.FirstGap(120, 180, &a, &b));
  EXPECT_FALSE(c.FirstGap(180, 180, &a, &b));
  // Touching and overlapping pieces join; one over several swallows them.
  c.Add(200, 250);
  c.Add(240, 300);
  EXPECT_FALSE(c.FirstGap(100, 400, &a, &b));
  c.Add(600, 700);
  c.Add(500, 800);
  ASSERT_TRUE(c.FirstGap(100, 1000, &a, &b));
  EXPECT_EQ(TSpan(a, b), TSpan(400, 500));
  ASSERT_TRUE(c.FirstGap(500, INT64_MAX, &a, &b));
  EXPECT_EQ(TSpan(a, b), TSpan(800, INT64_MAX));
  c.Add(0, INT64_MAX);
  EXPECT_FALSE(c.FirstGap(0, INT64_MAX, &a, &b));
  c.Clear();
  EXPECT_TRUE(c.FirstGap(10, 20, &a, &b));
}

TEST_F(TimelineFeedTest, EveryKeyFrameGetsItsPictureAndTheSoundItsPeaksWhereTheyAre) {
  // 30 s, every picture a key frame; silence, then a loud tone, then a quiet one, 10 s each.
  TfrmMain& w = Open(FixtureKind::ToneStepsMkv);
  TTimeline* line = w.Timeline1;
  ASSERT_GT(line->Duration(), 0);
  ASSERT_TRUE(WaitForEvents([&] { return Fed(line, FixtureKind::ToneStepsMkv); }, 60000))
      << line->ThumbnailCount() << " thumbnails";
  const QImage shot = line->grab().toImage();
  const QRect strip = line->StripRect();
  const QRect wave = line->WaveRect();
  // Pictures all along the strip.
  for (int x : {2, shot.width() / 2, shot.width() - 3})
    EXPECT_NE(shot.pixelColor(x, strip.center().y()), kEmptyStrip) << "x " << x;
  // The loud tone reaches far from the middle line; silence and the quiet tone do not.
  const int high = wave.center().y() - wave.height() / 3;
  auto loud = [&](double seconds) { return shot.pixelColor(static_cast<int>(line->XAt(seconds * 1e6)), high) == kWave; };
  EXPECT_FALSE(loud(5));
  EXPECT_TRUE(loud(15));
  EXPECT_FALSE(loud(25));

  // Zoomed in, the strip shows the key frame's own picture from its time on.
  line->ZoomAt(0, 1000);
  line->ScrollTo(12e6 + 1000);
  const QImage near = line->grab().toImage();
  EXPECT_EQ(FrameOf(near.copy(0, strip.top() + 1, line->ThumbnailHeight() * 4 / 3, line->ThumbnailHeight())), 120);
}

TEST_F(TimelineFeedTest, AnotherFileDropsTheFirstFilesWorkAndLateResults) {
  TfrmMain& w = Open(FixtureKind::ToneStepsMkv);
  TTimeline* line = w.Timeline1;
  // The first file's results queue up for the main thread, which does not take them yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Open(FixtureKind::H264Mp4);
  ASSERT_TRUE(WaitForEvents([&] { return Fed(line, FixtureKind::H264Mp4); }, 60000))
      << line->ThumbnailCount() << " thumbnails";
  // Nothing of the first file comes later.
  WaitForEvents([] { return false; }, 1000);
  EXPECT_TRUE(SameTimes(line->ThumbnailTimes(), KeyFrameTimes(FixtureKind::H264Mp4)))
      << line->ThumbnailCount() << " thumbnails";
}

TEST_F(TimelineFeedTest, AZoomedInSpanGetsItsThumbnailsBeforeTheRestOfTheFile) {
  // 100 s, a key frame every half second, pictures big enough that the strip takes a while.
  const std::string path = (FHome.path() + "/long.mp4").toStdString();
  const TCliRun made = RunShell("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1280x720:rate=2 -t 100 "
                                "-c:v libx264 -preset ultrafast -g 1 -pix_fmt yuv420p " + ShellQuote(path));
  ASSERT_EQ(made.Code, 0) << made.Err;
  TfrmMain& w = Start();
  w.OpenFromCommandLine(QString::fromStdString(path));
  TTimeline* line = w.Timeline1;
  ASSERT_GT(line->Duration(), 0);
  line->ZoomAt(0, 10);
  line->ScrollTo(80e6);
  ASSERT_NEAR(line->TimeAt(line->width()), 90e6, 1e6);
  auto count = [&](double from, double to) {
    const std::vector<int64_t> t = line->ThumbnailTimes();
    return std::count_if(t.begin(), t.end(), [&](int64_t v) { return v >= from && v < to; });
  };
  // Every key frame in view (80 to 90 s) comes while most of the middle still has none.
  ASSERT_TRUE(WaitForEvents([&] { return count(80e6, 90e6) == 20; }, 60000)) << count(80e6, 90e6);
  EXPECT_LT(count(30e6, 70e6), 40) << "of 80 key frames between 30 and 70 s";
  ASSERT_TRUE(WaitForEvents([&] { return line->ThumbnailCount() == 200; }, 60000)) << line->ThumbnailCount();
}

TEST_F(TimelineFeedTest, TheWindowKeepsAnsweringWhileTheStripIsMade) {
  TfrmMain& w = Start();
  QTimer tick;
  tick.setInterval(10);
  auto last = Clock::now();
  double longest = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });
  w.OpenFromCommandLine(QString::fromStdString(FixturePath(FixtureKind::ToneStepsMkv)));
  tick.start();
  last = Clock::now();
  ASSERT_TRUE(WaitForEvents([&] { return Fed(w.Timeline1, FixtureKind::ToneStepsMkv); }, 60000));
  EXPECT_LT(longest, 250) << "ms between two ticks of a 10 ms timer";
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
