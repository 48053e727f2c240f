// The window's time line: playback follows every move of the track bar, a drag shows the key
// frame at once and the exact picture when it rests or ends, and the timeline widget draws what
// it is given where its times are, zooms around the mouse and jumps where it is clicked.
#include "AppTestSupport.h"
#include "PictureBox.h"
#include "Timeline.h"
#include "TrackBar.h"
#include "player/FFPlay.h"
#include "runtime/MainThread.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QWheelEvent>

#include <chrono>
#include <cmath>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

void Key(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

void Click(QWidget* w, QPointF at, Qt::MouseButton button = Qt::LeftButton) {
  QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), button, button, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), button, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w, &release);
}

class TimelineTest : public AppTest {
protected:
  // Opens the file as from the command line, recording where the player says it is.
  TfrmMain& Open(FixtureKind kind) {
    TfrmMain& w = Start();
    w.OpenFromCommandLine(QString::fromStdString(FixturePath(kind)));
    auto windowPosition = w.FFPlayer().OnPosition;
    w.FFPlayer().OnPosition = [this, windowPosition](TFFPlayer* s, int64_t pts) {
      {
        std::lock_guard<std::mutex> g(Lock);
        Reports.push_back(pts);
      }
      windowPosition(s, pts);
    };
    return w;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(Lock);
    return Reports.size();
  }
  // How far playback jumped: to the first report after the action near the picture the window
  // then shows, from the report before it. Playing on moves a report step at a time; a seek may
  // report a little before its target.
  int64_t JumpOf(const std::function<void()>& action) {
    const size_t before = Count();
    EXPECT_TRUE(WaitForEvents([&] { return Count() > before + 1; }, 10000));
    const size_t after = Count();
    action();
    const int64_t target = Window->CurrentPTS();
    size_t at = 0;
    WaitForEvents([&] {
      std::lock_guard<std::mutex> g(Lock);
      for (size_t i = after; i < Reports.size() && at == 0; ++i)
        if (Reports[i] >= target - 300000 && Reports[i] <= target + 400000) at = i;
      return at != 0;
    }, 10000);
    if (at == 0) {
      ADD_FAILURE() << "playback never reached " << target;
      return 0;
    }
    std::lock_guard<std::mutex> g(Lock);
    return Reports[at] - Reports[at - 1];
  }
  std::mutex Lock;
  std::vector<int64_t> Reports;
};

TEST_F(TimelineTest, WhilePlayingKeysGrooveClicksButtonsAndTimelineClicksMovePlayback) {
  TfrmMain& w = Open(FixtureKind::LongGopH264Mp4);  // 12 s, key frames at frames 0 and 250
  ASSERT_EQ(w.TrackBar1->maximum(), 300);
  const int page = w.TrackBar1->pageStep();
  w.TrackBar1->setValue(100);
  w.btnPlay->click();
  ASSERT_TRUE(WaitForEvents([&] { return w.FFPlayer().State() == psPlay && Count() > 0; }, 20000));
  const int64_t pageUs = int64_t(page) * 40000;

  // Page Down on the track bar: back a page.
  w.TrackBar1->setFocus();
  EXPECT_LT(JumpOf([&] { Key(w.TrackBar1, Qt::Key_PageDown); }), -pageUs / 2);
  // A click on the groove left of the thumb: back (a page, or to the click). Playback runs
  // ahead of the thumb, so only a seek can take it back.
  EXPECT_LT(JumpOf([&] {
    const int x = w.TrackBar1->PositionToPixel(w.TrackBar1->value() - 40);
    Click(w.TrackBar1, QPointF(x, w.TrackBar1->GrooveRect().center().y()));
  }), -pageUs / 2);
  // A click on the timeline, back to 1 s.
  TTimeline* line = w.Timeline1;
  EXPECT_LT(JumpOf([&] { Click(line, QPointF(line->XAt(1000000), line->StripRect().center().y())); }), -1000000);
  EXPECT_NEAR(FrameOf(w.Picture()), 25, 1);
  // "Next K-F" last, as playback ends soon after: to frame 250, seconds ahead.
  EXPECT_GT(JumpOf([&] { w.btnNextKF->click(); }), 5000000);
  EXPECT_EQ(FrameOf(w.Picture()), 250);
  w.btnPlayStop->click();
  EXPECT_EQ(line->CursorTime(), w.CurrentPTS());
}

TEST_F(TimelineTest, ADragShowsTheKeyFrameAtOnceAndTheExactPictureWhenItRestsOrEnds) {
  TfrmMain& w = Open(FixtureKind::LongGopH264Mp4);
  TTrackBar* bar = w.TrackBar1;
  bar->setSliderDown(true);
  bar->setValue(200);
  EXPECT_EQ(FrameOf(w.Picture()), 0);
  EXPECT_TRUE(w.RoughPicture());
  EXPECT_EQ(w.Timeline1->CursorTime(), 0);
  // Resting: the exact picture.
  ASSERT_TRUE(WaitForEvents([&] { return FrameOf(w.Picture()) == 200; }, 10000));
  EXPECT_FALSE(w.RoughPicture());
  EXPECT_EQ(bar->value(), 200);
  // Past the second key frame, and one step from a rough picture is no step from it.
  bar->setValue(270);
  EXPECT_EQ(FrameOf(w.Picture()), 250);
  bar->setValue(271);
  EXPECT_EQ(FrameOf(w.Picture()), 250);
  // The release: the exact picture at once, the thumb where it was let go.
  bar->setSliderDown(false);
  EXPECT_EQ(FrameOf(w.Picture()), 271);
  EXPECT_FALSE(w.RoughPicture());
  EXPECT_EQ(bar->value(), 271);
  // Not dragging, a step by one is a step.
  bar->setValue(272);
  EXPECT_EQ(FrameOf(w.Picture()), 272);
}

TEST_F(TimelineTest, AClickOnTheTimelineShowsThePictureThereAndThePointsAreDrawn) {
  TfrmMain& w = Open(FixtureKind::H264Mp4);  // 3 s, 75 frames
  TTimeline* line = w.Timeline1;
  ASSERT_NE(w.findChild<TTimeline*>("Timeline1"), nullptr);
  EXPECT_EQ(line->Duration(), w.Duration());
  Click(line, QPointF(line->XAt(40 * 40000), line->StripRect().center().y()));
  EXPECT_EQ(FrameOf(w.Picture()), 40);
  EXPECT_EQ(w.TrackBar1->value(), 40);
  EXPECT_EQ(line->CursorTime(), w.CurrentPTS());
  // A drag along the timeline is a drag of the thumb: it ends on the exact picture.
  const double strip = line->StripRect().center().y();
  const QPointF from(line->XAt(400000), strip);
  QMouseEvent press(QEvent::MouseButtonPress, from, line->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(line, &press);
  for (int frame : {20, 30, 37}) {
    const QPointF at(line->XAt(frame * 40000), strip);
    QMouseEvent move(QEvent::MouseMove, at, line->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(line, &move);
    EXPECT_TRUE(w.TrackBar1->isSliderDown());
    EXPECT_EQ(w.TrackBar1->value(), frame);
  }
  const QPointF to(line->XAt(37 * 40000), strip);
  QMouseEvent release(QEvent::MouseButtonRelease, to, line->mapToGlobal(to), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(line, &release);
  EXPECT_FALSE(w.TrackBar1->isSliderDown());
  EXPECT_EQ(FrameOf(w.Picture()), 37);
  w.btnTrimStart->click();
  w.btnNextKF->click();
  w.btnTrimEnd->click();
  const QImage shot = line->grab().toImage();
  const int y = line->WaveRect().center().y();
  const QColor start = shot.pixelColor(static_cast<int>(std::floor(line->XAt(w.TrimStart()))), y);
  const QColor end = shot.pixelColor(static_cast<int>(std::floor(line->XAt(w.TrimEnd()))) - 1, y);
  EXPECT_GT(start.green(), 120) << start.name().toStdString();
  EXPECT_GT(end.red(), 180) << end.name().toStdString();
  // The selection tints the wave band between the points, and nothing outside them.
  const QColor inside = shot.pixelColor(static_cast<int>(line->XAt((w.TrimStart() + w.TrimEnd()) / 2.0)), y);
  const QColor outside = shot.pixelColor(static_cast<int>(line->XAt(w.TrimEnd())) + 20, y);
  EXPECT_GT(inside.blue(), outside.blue() + 20);
}

class TimelineWidgetTest : public ::testing::Test {
protected:
  void SetUp() override {
    Line.resize(800, Line.height());
    Line.show();
    QApplication::processEvents();
    Line.SetDuration(Duration);
  }
  QColor At(const QImage& shot, double us, int dx, int y) const {
    return shot.pixelColor(static_cast<int>(std::floor(Line.XAt(us))) + dx, y);
  }
  void Wheel(double x, int delta, Qt::KeyboardModifiers mods) {
    const QPointF at(x, Line.StripRect().center().y());
    QWheelEvent e(at, Line.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, mods,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(&Line, &e);
  }
  static QImage Solid(QColor c) {
    QImage image(160, 120, QImage::Format_RGB32);
    image.fill(c);
    return image;
  }
  const int64_t Duration = 10000000;
  TTimeline Line;
};

bool Near(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) < 24 && std::abs(a.green() - b.green()) < 24 &&
         std::abs(a.blue() - b.blue()) < 24;
}

TEST_F(TimelineWidgetTest, ThumbnailsPeaksAndSegmentsAreDrawnWhereTheirTimesAre) {
  Line.AddThumbnail(2000000, Solid(Qt::red));
  Line.AddThumbnail(6000000, Solid(Qt::blue));
  // 100 slices: silence, a loud part from 3 s to 4 s, a quiet one from 7 s to 8 s; the second
  // half arrives later.
  std::vector<float> peaks(50, 0.0f);
  for (int i = 30; i < 40; ++i) peaks[i] = 1.0f;
  Line.SetPeaks(peaks, 100);
  std::vector<float> rest(50, 0.0f);
  for (int i = 20; i < 30; ++i) rest[i] = 0.25f;
  Line.AppendPeaks(rest);
  Line.SetSegments({{1000000, 2000000, QColor(0, 255, 0), false}, {5000000, 5500000, QColor(255, 0, 255), true}});
  Line.SetCursorTime(9500000);

  for (double zoom : {1.0, 1.25}) {
    SCOPED_TRACE(zoom);
    Line.ZoomAt(Line.XAt(5000000), zoom);
    const QImage shot = Line.grab().toImage();
    const int strip = Line.StripRect().center().y();
    EXPECT_TRUE(Near(At(shot, 2000000, 2, strip), Qt::red));
    EXPECT_FALSE(Near(At(shot, 2000000, -2, strip), Qt::red));
    EXPECT_TRUE(Near(At(shot, 6000000, 2, strip), Qt::blue));
    // The span up to the next one (tiles stand a pixel apart).
    EXPECT_TRUE(Near(At(shot, 6000000, -2, strip), Qt::red) || Near(At(shot, 6000000, -3, strip), Qt::red));

    const QRect wave = Line.WaveRect();
    const int high = wave.top() + 2, low = wave.center().y() - wave.height() / 8 + 1;
    const QColor waveColor = At(shot, 3500000, 0, wave.center().y());
    EXPECT_GT(waveColor.green(), 150);
    EXPECT_EQ(At(shot, 3500000, 0, high), waveColor);          // loud: to the band's edge
    EXPECT_NE(At(shot, 1500000, 0, low), waveColor);           // silence: a flat line
    EXPECT_EQ(At(shot, 7500000, 0, low), waveColor);           // quiet: a quarter
    EXPECT_NE(At(shot, 7500000, 0, wave.top() + wave.height() / 4), waveColor);
    EXPECT_NE(At(shot, 8200000, 0, low), waveColor);

    const int band = Line.SegmentRect().center().y();
    EXPECT_TRUE(Near(At(shot, 1500000, 0, band), QColor(0, 255, 0)));
    EXPECT_TRUE(Near(At(shot, 5250000, 0, band), QColor(255, 0, 255)));
    EXPECT_FALSE(Near(At(shot, 3000000, 0, band), QColor(0, 255, 0)));
    EXPECT_FALSE(Near(At(shot, 5750000, 0, band), QColor(255, 0, 255)));
  }
}

TEST_F(TimelineWidgetTest, ZoomKeepsTheTimeUnderTheMouseAndScrollingMovesTheView) {
  std::pair<int64_t, int64_t> span;
  QObject::connect(&Line, &TTimeline::VisibleSpanChanged, [&span](int64_t a, int64_t b) { span = {a, b}; });
  const int64_t tenMinutes = 600000000;
  Line.SetDuration(tenMinutes);
  EXPECT_EQ(span, std::make_pair(int64_t(0), tenMinutes));
  Line.SetFrameDuration(40000);
  const double whole = Line.UsPerPixel();
  EXPECT_NEAR(whole * Line.width(), tenMinutes, whole);
  for (double x : {100.0, 400.0, 650.0}) {
    const double before = Line.TimeAt(x);
    const double scale = Line.UsPerPixel();
    Wheel(x, 240, Qt::ControlModifier);
    EXPECT_NEAR(Line.UsPerPixel(), scale / 1.5625, 1);
    EXPECT_NEAR(Line.TimeAt(x), before, Line.UsPerPixel());
    EXPECT_NEAR(span.first, Line.ViewStart(), 1);
    EXPECT_NEAR(span.second, Line.TimeAt(Line.width()), 1);
  }
  // The deepest zoom: a picture every 4 pixels; the widest: the whole file.
  for (int i = 0; i < 40; ++i) Wheel(300, 120, Qt::ControlModifier);
  EXPECT_DOUBLE_EQ(Line.UsPerPixel(), 10000);
  Key(&Line, Qt::Key_Minus);
  EXPECT_NEAR(Line.UsPerPixel(), 15000, 1e-6);
  Key(&Line, Qt::Key_Plus);
  EXPECT_NEAR(Line.UsPerPixel(), 10000, 1e-6);
  // Without Ctrl the wheel scrolls, and the scroll bar shows where.
  Line.ScrollTo(0);
  Wheel(300, -120, Qt::NoModifier);
  EXPECT_NEAR(Line.ViewStart(), Line.width() / 8.0 * 10000, 1);
  auto* bar = Line.findChild<QScrollBar*>("sbTimeline");
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->isVisible());
  EXPECT_NEAR(bar->value(), Line.ViewStart() / 10000, 1);
  bar->setValue(0);
  EXPECT_EQ(Line.ViewStart(), 0);
  for (int i = 0; i < 40; ++i) Wheel(300, -120, Qt::ControlModifier);
  EXPECT_DOUBLE_EQ(Line.UsPerPixel(), whole);
  EXPECT_FALSE(bar->isVisible());
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
