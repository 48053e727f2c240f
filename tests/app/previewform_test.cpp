// The preview window of a task: sized once by its first picture, the time caption the engine's
// previewer gives it, dragged by its picture, and a close that ends the task's window preview.
#include "AppTestSupport.h"

#include "PictureBox.h"
#include "PreviewerForm.h"
#include "engine/Previewer.h"
#include "runtime/Bitmap.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include <atomic>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
}

namespace {

// A picture showing frame number n, as the fixtures draw it.
TBitmap NumberPicture(int n, int width, int height) {
  TBitmap b(32, width, height);
  AVFrame* f = av_frame_alloc();
  f->format = AV_PIX_FMT_BGRA;
  f->width = width;
  f->height = height;
  EXPECT_EQ(av_frame_get_buffer(f, 0), 0);
  EXPECT_TRUE(DrawFrameNumber(f, n));
  for (int y = 0; y < height; ++y) memcpy(b.ScanLine(y), f->data[0] + y * f->linesize[0], size_t(width) * 4);
  av_frame_free(&f);
  return b;
}

void Pump() {
  QApplication::processEvents();
  ProcessMainThreadCalls();
}

TEST(PreviewerForm, TheFirstPictureSizesItAndLaterOnesAreDrawnIntoThatSize) {
  TPreviewerForm f;
  const Qt::WindowFlags flags = f.windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

  f.SetClientSize(320, 240);
  f.Show();
  Pump();
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(f.size(), QSize(320, 240));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((f.frameGeometry().center() - screen.center()).manhattanLength(), 2);

  f.Draw(NumberPicture(7, 320, 240));
  EXPECT_EQ(FrameOf(f.Canvas()), 7);
  EXPECT_EQ(FrameOf(f.grab().toImage()), 7);

  // A bigger picture later: the window keeps its size and shows the picture's top-left part.
  f.SetClientSize(640, 480);
  const TBitmap big = NumberPicture(9, 640, 480);
  f.Draw(big);
  Pump();
  EXPECT_EQ(f.size(), QSize(320, 240));
  EXPECT_EQ(f.Canvas().size(), QSize(320, 240));
  EXPECT_EQ(f.Canvas(), BitmapImage(big).copy(0, 0, 320, 240).convertToFormat(QImage::Format_RGB32));
}

TEST(PreviewerForm, DraggingThePictureMovesTheWindowAndClosingTellsTheOwner) {
  TPreviewerForm f;
  f.SetClientSize(320, 240);
  f.Show();
  Pump();
  const QPoint start = f.pos();
  const QPoint at(100, 80);
  const QPoint global = f.mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&f, &press);
  const QPoint moved = global + QPoint(40, 25);
  QMouseEvent move(QEvent::MouseMove, f.mapFromGlobal(moved), moved, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&f, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, f.mapFromGlobal(moved), moved, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(&f, &release);
  Pump();
  EXPECT_EQ(f.pos(), start + QPoint(40, 25));
  // A right button does not drag.
  const QPoint g2 = f.mapToGlobal(at);
  QMouseEvent rpress(QEvent::MouseButtonPress, at, g2, Qt::RightButton, Qt::RightButton, Qt::NoModifier);
  QApplication::sendEvent(&f, &rpress);
  QMouseEvent rmove(QEvent::MouseMove, at + QPoint(30, 30), g2 + QPoint(30, 30), Qt::NoButton, Qt::RightButton,
                    Qt::NoModifier);
  QApplication::sendEvent(&f, &rmove);
  EXPECT_EQ(f.pos(), start + QPoint(40, 25));

  int closes = 0;
  f.OnClose = [&] { ++closes; };
  EXPECT_TRUE(f.close());
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(closes, 1);
}

// Through the engine's previewer, from a worker thread as a task calls it.
class PreviewerTest : public ::testing::Test {
protected:
  void SetUp() override {
    SetPreviewWindowFactory([this] {
      auto form = std::make_unique<TPreviewerForm>();
      Made.push_back(form.get());
      return std::unique_ptr<IPreviewWindow>(std::move(form));
    });
  }
  void TearDown() override { SetPreviewWindowFactory(nullptr); }

  // Runs fn on a worker and serves the main thread until it is done.
  void OnWorker(const std::function<void()>& fn) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      fn();
      done = true;
      WakeMainThread();
    });
    WaitInMainThread([&] { return done.load(); });
    t.join();
  }

  std::vector<TPreviewerForm*> Made;
};

TEST_F(PreviewerTest, CaptionSizeAndOneWindowUntilItIsClosed) {
  auto previewer = std::make_unique<TPreviewer>();
  const TBitmap small = NumberPicture(3, 320, 240);
  const TBitmap big = NumberPicture(4, 640, 480);
  bool shown1 = false, shown2 = false;
  OnWorker([&] {
    shown1 = previewer->ShowPicture(small, 1, 61234000);
    shown2 = previewer->ShowPicture(big, 2, 62000000);
  });
  EXPECT_TRUE(shown1);
  EXPECT_TRUE(shown2);
  ASSERT_EQ(Made.size(), 1u);
  TPreviewerForm* f = Made[0];
  EXPECT_TRUE(f->isVisible());
  EXPECT_EQ(f->size(), QSize(320, 240));
  EXPECT_EQ(f->windowTitle(), "00:01:02.005");
  EXPECT_EQ(f->Canvas(), BitmapImage(big).copy(0, 0, 320, 240).convertToFormat(QImage::Format_RGB32));

  // The caption of the first picture, 61.234 s, with the 5 ms the caption adds.
  auto second = std::make_unique<TPreviewer>();
  OnWorker([&] { second->ShowPicture(small, 1, 61234000); });
  ASSERT_EQ(Made.size(), 2u);
  EXPECT_EQ(Made[1]->windowTitle(), "00:01:01.239");
  EXPECT_EQ(FrameOf(Made[1]->Canvas()), 3);
  // Each previewer has its own window; freeing it on the worker frees its window.
  OnWorker([&] { second.reset(); });

  // The user closes the first window: no new one for this previewer, whatever comes.
  f->close();
  Pump();
  EXPECT_TRUE(previewer->Closed());
  bool shown3 = true;
  OnWorker([&] { shown3 = previewer->ShowPicture(small, 3, 63000000); });
  EXPECT_FALSE(shown3);
  EXPECT_EQ(Made.size(), 2u);
  OnWorker([&] { previewer.reset(); });
}

}  // namespace

TRIMORA_APP_TEST_MAIN()
