// The playback panel in the real window: "Play" from the picture on screen, the time label, the
// loop between the points, the track bar while playing, Space, and "Stop" bringing the still
// picture back.
#include "AppTestSupport.h"
#include "support/Fixtures.h"
#include "PictureBox.h"
#include "TrackBar.h"
#include "decoder/FFDecode.h"
#include "player/FFPlay.h"
#include "runtime/MainThread.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <chrono>
#include <cmath>
#include <mutex>


namespace {

class PlaybackTest : public AppTest {
protected:
  TfrmMain& Open(FixtureKind kind) {
    if (!Window) Start();
    Info = GetFixtureInfo(kind);
    Dialogs.OpenAnswer = QString::fromStdString(FixturePath(kind));
    Window->btnOpen->click();
    // Record what the player does, keeping the window's own handlers.
    TFFPlayer& p = Window->FFPlayer();
    auto windowPosition = p.OnPosition;
    p.OnPosition = [this, windowPosition](TFFPlayer* s, int64_t pts) {
      {
        std::lock_guard<std::mutex> g(Lock);
        Positions.push_back(pts);
      }
      windowPosition(s, pts);
    };
    p.OnPictureShown = [this](TFFPlayer*, double pts, double, double) {
      std::lock_guard<std::mutex> g(Lock);
      Shown.push_back(pts);
    };
    return *Window;
  }
  bool Wait(const std::function<bool()>& cond, int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > until) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 10);
      ProcessMainThreadCalls();
    }
    return true;
  }
  size_t ShownCount() {
    std::lock_guard<std::mutex> g(Lock);
    return Shown.size();
  }
  void Press(int key) {
    Window->activateWindow();
    QApplication::setActiveWindow(Window.get());
    QApplication::processEvents();
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : Window.get();
    if (!qt_sendShortcutOverrideEvent(target, 0, key, Qt::NoModifier, QString(), false, 1)) {
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
    }
  }
  int64_t FrameUs() const { return int64_t(1000000) * Info.frameRate.den / Info.frameRate.num; }
  FixtureInfo Info;
  std::mutex Lock;
  std::vector<int64_t> Positions;
  std::vector<double> Shown;
};

TEST_F(PlaybackTest, PlayAfterSteppingStartsThereAndStopShowsTheStillPictureAgain) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  for (int i = 0; i < 10; ++i) w.btnNextFrame->click();
  ASSERT_EQ(FrameOf(w.Picture()), 10);
  const int64_t at = w.CurrentPTS();
  w.btnPlay->click();
  EXPECT_TRUE(w.pnlPlayer->isVisible());
  EXPECT_EQ(w.pnlPlayer->geometry(), w.Image1->rect());
  EXPECT_EQ(w.PlayerPanel(), w.pnlPlayer);
  EXPECT_EQ(w.FFPlayer().BackgroundColor(), 0xA6CAF0u);
  EXPECT_TRUE(w.LogLines().contains("aspect ratio: 1.33"));
  EXPECT_EQ(w.PlayDuration(), w.Duration());
  ASSERT_TRUE(Wait([&] { return ShownCount() > 10; }, 5000));
  {
    std::lock_guard<std::mutex> g(Lock);
    // The first picture after the seek is the one that was on screen.
    bool found = false;
    for (double pts : Shown)
      if (std::llround(pts * 1e6) == at + std::llround(Info.videoStartTime * 1e6)) found = true;
    EXPECT_TRUE(found);
    for (int64_t pos : Positions) EXPECT_GE(pos, at - FrameUs());
  }
  // The time label follows playback.
  ASSERT_TRUE(Wait([&] { return w.lblPTS->text() > PTSText(at + 500000); }, 3000)) << w.lblPTS->text().toStdString();
  // The panel stays over the picture area.
  w.resize(w.width() + 60, w.height() + 40);
  QApplication::processEvents();
  EXPECT_EQ(w.pnlPlayer->geometry(), w.Image1->rect());

  w.btnPlayStop->click();
  EXPECT_FALSE(w.pnlPlayer->isVisible());
  EXPECT_EQ(w.FFPlayer().State(), psStop);
  EXPECT_EQ(w.FFPlayer().Core(), nullptr);
  EXPECT_EQ(FrameOf(w.Picture()), 10);
}

TEST_F(PlaybackTest, BothPointsLoopAndWithoutThemPlaybackRunsToTheEnd) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  for (int i = 0; i < 25; ++i) w.btnNextFrame->click();
  w.btnTrimStartClick();
  for (int i = 0; i < 25; ++i) w.btnNextFrame->click();
  w.btnTrimEndClick();
  const int64_t start = w.TrimStart(), end = w.TrimEnd();
  ASSERT_EQ(start, 25 * FrameUs());
  ASSERT_EQ(end, 50 * FrameUs());
  w.btnPreviousKFClick();
  w.btnPlay->click();
  int jumps = 0;
  ASSERT_TRUE(Wait([&] {
    std::lock_guard<std::mutex> g(Lock);
    jumps = 0;
    for (size_t i = 1; i < Positions.size(); ++i)
      if (Positions[i] + 500000 < Positions[i - 1]) ++jumps;
    return jumps >= 2;
  }, 6000));
  {
    std::lock_guard<std::mutex> g(Lock);
    int64_t interval = 0;
    for (size_t i = 1; i < Positions.size(); ++i)
      if (Positions[i] > Positions[i - 1] && Positions[i] < end) interval = std::max(interval, Positions[i] - Positions[i - 1]);
    for (int64_t pos : Positions) EXPECT_LE(pos, end + interval);
    // After each jump playback runs from the start point.
    for (size_t i = 1; i < Positions.size(); ++i)
      if (Positions[i] + 500000 < Positions[i - 1]) {
        EXPECT_NEAR(Positions[i], start, 120000);
      }
  }
  w.btnPlayStop->click();

  // Without points, playback runs to the end of the file.
  w.btnResetClick();
  {
    std::lock_guard<std::mutex> g(Lock);
    Positions.clear();
  }
  w.btnPlay->click();
  EXPECT_TRUE(Wait([&] { return w.FFPlayer().State() == psEnd; }, 6000));
  {
    std::lock_guard<std::mutex> g(Lock);
    for (size_t i = 1; i < Positions.size(); ++i) EXPECT_GE(Positions[i], Positions[i - 1]);
  }
  w.btnPlayStop->click();
}

TEST_F(PlaybackTest, SpacePlaysAndStopsAndTheTrackBarMovesPlayback) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  EXPECT_TRUE(w.btnPlay->toolTip().endsWith("(Space)"));
  EXPECT_TRUE(w.btnPlayStop->toolTip().endsWith("(Space)"));
  Press(Qt::Key_Space);
  ASSERT_TRUE(Wait([&] { return w.FFPlayer().State() == psPlay && ShownCount() > 2; }, 5000));
  // A track-bar move shows the still picture there; the release moves playback to it.
  w.TrackBar1->setValue(60);
  const int64_t target = w.CurrentPTS();
  ASSERT_GT(target, 2000000);
  {
    std::lock_guard<std::mutex> g(Lock);
    Positions.clear();
  }
  emit w.TrackBar1->sliderReleased();
  // A report queued before the release may still arrive; playback must reach the target.
  EXPECT_TRUE(Wait([&] {
    std::lock_guard<std::mutex> g(Lock);
    for (int64_t p : Positions)
      if (p >= target - 150000 && p <= target + 150000) return true;
    return false;
  }, 3000));
  Press(Qt::Key_Space);
  EXPECT_EQ(w.FFPlayer().State(), psStop);
  EXPECT_FALSE(w.pnlPlayer->isVisible());
}

TEST_F(PlaybackTest, OpeningAnotherFileStopsPlayback) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);
  w.btnPlay->click();
  ASSERT_TRUE(Wait([&] { return ShownCount() > 2; }, 5000));
  Dialogs.OpenAnswer = QString::fromStdString(FixturePath(FixtureKind::Mpeg4Avi));
  w.btnOpen->click();
  EXPECT_EQ(w.FFPlayer().State(), psStop);
  EXPECT_FALSE(w.pnlPlayer->isVisible());
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
