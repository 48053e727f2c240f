// Preview pictures of running tasks: the previewer and its window, the bitmap event, the
// interval, closing, several tasks, no window at all, and flag changes during a job.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "engine/FFEncode.h"
#include "engine/Previewer.h"
#include "runtime/Bitmap.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

// What one fake window went through; outlives the window. Main thread only.
struct TWindowRecord {
  std::vector<std::pair<int, int>> Sizes;
  std::vector<std::string> Captions;
  std::vector<int> Widths;
  std::vector<int> Numbers;  // frame numbers read from the pictures drawn
  bool Shown = false;
  bool Destroyed = false;
  IPreviewWindow* Self = nullptr;
};

class TFakeWindow : public IPreviewWindow {
public:
  explicit TFakeWindow(std::shared_ptr<TWindowRecord> r) : R(std::move(r)) {
    EXPECT_TRUE(IsMainThread());
    R->Self = this;
  }
  ~TFakeWindow() override {
    EXPECT_TRUE(IsMainThread());
    R->Destroyed = true;
    R->Self = nullptr;
  }
  void SetClientSize(int w, int h) override { R->Sizes.emplace_back(w, h); }
  void SetCaption(const std::string& c) override { R->Captions.push_back(c); }
  void Draw(const TBitmap& b) override {
    EXPECT_TRUE(IsMainThread());
    EXPECT_TRUE(R->Shown);
    R->Widths.push_back(b.Width());
    R->Numbers.push_back(b.BitsPixel() == 32 || b.BitsPixel() == 24
                             ? ReadFrameNumberBGR(b.Bits(), b.Stride(), b.Width(), b.Height(),
                                                  b.BitsPixel() / 8)
                             : -2);
  }
  void Show() override { R->Shown = true; }
  std::shared_ptr<TWindowRecord> R;
};

// Installs a factory of fake windows for the life of the object.
struct TWindowFactory {
  std::vector<std::shared_ptr<TWindowRecord>> Windows;
  TWindowFactory() {
    SetPreviewWindowFactory([this] {
      Windows.push_back(std::make_shared<TWindowRecord>());
      return std::make_unique<TFakeWindow>(Windows.back());
    });
  }
  ~TWindowFactory() { SetPreviewWindowFactory(nullptr); }
};

TBitmap Picture(int w, int h, int number) {
  // A fixture picture of that number as a 32-bit bitmap.
  AVFrame* f = av_frame_alloc();
  f->format = AV_PIX_FMT_BGRA;
  f->width = w;
  f->height = h;
  av_frame_get_buffer(f, 0);
  DrawFrameNumber(f, number);
  TBitmap b(32, w, h);
  for (int y = 0; y < h; y++)
    std::copy_n(f->data[0] + y * f->linesize[0], w * 4, b.ScanLine(y));
  av_frame_free(&f);
  return b;
}

// Runs fn on a worker thread while the main thread serves its calls.
void OnWorker(const std::function<void()>& fn) {
  bool done = false;
  std::thread t([&] {
    fn();
    RunInMainThread([&] { done = true; });
  });
  WaitInMainThread([&] { return done; }, -1);
  t.join();
}

std::vector<int> DecodedNumbers(const std::string& path) {
  std::vector<int> numbers;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return numbers;
  avformat_find_stream_info(ic, nullptr);
  int vi = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vi < 0) {
    avformat_close_input(&ic);
    return numbers;
  }
  const AVCodec* c = avcodec_find_decoder(ic->streams[vi]->codecpar->codec_id);
  AVCodecContext* d = avcodec_alloc_context3(c);
  avcodec_parameters_to_context(d, ic->streams[vi]->codecpar);
  avcodec_open2(d, c, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(d, fr) >= 0) numbers.push_back(ReadFrameNumber(fr));
  };
  while (av_read_frame(ic, pkt) >= 0) {
    if (pkt->stream_index == vi) {
      avcodec_send_packet(d, pkt);
      drain();
    }
    av_packet_unref(pkt);
  }
  avcodec_send_packet(d, nullptr);
  drain();
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avcodec_free_context(&d);
  avformat_close_input(&ic);
  return numbers;
}

std::vector<int> Iota(int n) {
  std::vector<int> v;
  for (int i = 0; i < n; i++) v.push_back(i);
  return v;
}

class PreviewTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llError);
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() /
          ("trimora-preview-" + std::to_string(getpid()) + "-" + t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Src = FixturePath(FixtureKind::H264Mp4);
    Info = GetFixtureInfo(FixtureKind::H264Mp4);
  }
  void TearDown() override {
    SetPreviewWindowFactory(nullptr);
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Out(const std::string& n) const { return (Dir / n).string(); }
  int Add(TFFEncoder& e, const std::string& out, const std::string& opts = "-c:v mpeg4 -an") {
    int t = e.AddTask(Src);
    EXPECT_GE(t, 0) << e.LastErrMsg();
    TOutputOptions o;
    o.FileOptions = opts;
    EXPECT_GE(e.SetOutput(t, out, &o), 0) << e.LastErrMsg();
    return t;
  }
  // Starts the tasks in threads and serves the main thread (and `between`) until the final
  // notice; the termination records by task.
  std::vector<TTerminateInfo> RunAll(TFFEncoder& e, int threads,
                                     const std::function<void()>& between = nullptr) {
    std::vector<TTerminateInfo> got(static_cast<size_t>(e.TaskCount()));
    std::atomic<bool> done{false};
    std::mutex lock;  // notices come in a thread of their own without TriggerEventInMainThread
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
      std::lock_guard<std::mutex> g(lock);
      if (i.TaskIndex < 0)
        done = true;
      else
        got[static_cast<size_t>(i.TaskIndex)] = i;
    };
    e.StartTask(threads);
    EXPECT_TRUE(WaitInMainThread(
        [&] {
          if (between) between();
          return done.load();
        },
        120000));
    std::lock_guard<std::mutex> g(lock);
    return got;
  }

  std::string Src;
  FixtureInfo Info;
  fs::path Dir;
};

}  // namespace

TEST_F(PreviewTest, PreviewerWindowIsSizedOnceCaptionedAndClosed) {
  EXPECT_EQ(PreviewCaption(AV_NOPTS_VALUE), "N/A");
  EXPECT_EQ(PreviewCaption(61234000), "00:01:01.239");
  TWindowFactory windows;
  const TBitmap small = Picture(320, 240, 7), big = Picture(640, 480, 8);
  auto p = std::make_unique<TPreviewer>();
  bool first = false, second = false;
  OnWorker([&] {
    first = p->ShowPicture(small, 1, 61234000);
    second = p->ShowPicture(big, 2, AV_NOPTS_VALUE);
  });
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  ASSERT_EQ(windows.Windows.size(), 1u);
  TWindowRecord& w = *windows.Windows[0];
  EXPECT_TRUE(w.Shown);
  EXPECT_EQ(w.Sizes, (std::vector<std::pair<int, int>>{{320, 240}}));  // not resized
  EXPECT_EQ(w.Captions, (std::vector<std::string>{"00:01:01.239", "N/A"}));
  EXPECT_EQ(w.Widths, (std::vector<int>{320, 640}));
  EXPECT_EQ(w.Numbers, (std::vector<int>{7, 8}));

  // The user closes it: nothing more is drawn and no window comes back.
  ASSERT_NE(w.Self, nullptr);
  w.Self->OnClose();
  bool third = true;
  OnWorker([&] { third = p->ShowPicture(small, 3, 0); });
  EXPECT_FALSE(third);
  EXPECT_TRUE(p->Closed());
  EXPECT_EQ(w.Widths.size(), 2u);
  EXPECT_EQ(windows.Windows.size(), 1u);
  // Freed from the worker: the window goes on the main thread.
  EXPECT_FALSE(w.Destroyed);
  OnWorker([&] { p.reset(); });
  EXPECT_TRUE(w.Destroyed);
}

TEST_F(PreviewTest, WindowClosedWhileTheWorkerWaitsOrNoFactory) {
  {
    TWindowFactory windows;
    TPreviewer p;
    const TBitmap pic = Picture(320, 240, 1);
    OnWorker([&] { EXPECT_TRUE(p.ShowPicture(pic, 1, 0)); });
    ASSERT_EQ(windows.Windows.size(), 1u);
    TWindowRecord& w = *windows.Windows[0];
    // The worker queues its next picture; the window is closed before the main thread gets
    // to it, so the queued display step draws nothing.
    bool shown = true, finished = false;
    std::thread t([&] {
      shown = p.ShowPicture(pic, 2, 40000);
      RunInMainThread([&] { finished = true; });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    w.Self->OnClose();
    WaitInMainThread([&] { return finished; }, -1);
    t.join();
    EXPECT_FALSE(shown);
    EXPECT_EQ(w.Widths.size(), 1u);
  }
  // No factory: nothing to show, reported as closed.
  TPreviewer p;
  const TBitmap pic = Picture(320, 240, 1);
  bool shown = true;
  OnWorker([&] { shown = p.ShowPicture(pic, 1, 0); });
  EXPECT_FALSE(shown);
  EXPECT_TRUE(p.Closed());
}

TEST_F(PreviewTest, BothFlagsServeOnlyTheEventElseTheWindow) {
  TWindowFactory windows;
  {
    TFFEncoder e;
    e.SetPreview(true);
    e.SetPreviewBitmap(true);
    std::vector<int> numbers;
    e.OnPreviewBitmap = [&](TFFEncoder*, const TPreviewInfo& p) {
      EXPECT_TRUE(IsMainThread());
      EXPECT_EQ(p.TaskIndex, 0);
      const TBitmap& b = *p.Bitmap;
      EXPECT_EQ(b.BitsPixel(), 32);
      EXPECT_EQ(b.Width(), 320);
      EXPECT_EQ(p.PTS, int64_t(p.FrameNumber - 1) * 40000);
      EXPECT_EQ(ReadFrameNumberBGR(b.Bits(), b.Stride(), b.Width(), b.Height(), 4),
                p.FrameNumber - 1);
      numbers.push_back(p.FrameNumber);
    };
    Add(e, Out("event.mkv"));
    auto got = RunAll(e, 1);
    EXPECT_TRUE(got[0].Finished) << got[0].ExceptionMsg;
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers[0], 1);  // the first picture always qualifies
    EXPECT_TRUE(windows.Windows.empty());
    EXPECT_EQ(e.Task(0)->PreviewFlags(), 3);
  }
  {
    // No handler: the window shows the pictures, with the depth asked for.
    TFFEncoder e;
    e.SetPreview(true);
    e.SetPreviewBitmap(true);
    int t = e.AddTask(Src);
    TOutputOptions o;
    o.FileOptions = "-c:v mpeg4 -an";
    o.VideoHookBitsPixel = 24;
    ASSERT_GE(e.SetOutput(t, Out("window.mkv"), &o), 0);
    auto got = RunAll(e, 1);
    EXPECT_TRUE(got[0].Finished);
    ASSERT_EQ(windows.Windows.size(), 1u);
    const TWindowRecord& w = *windows.Windows[0];
    EXPECT_EQ(w.Sizes, (std::vector<std::pair<int, int>>{{320, 240}}));
    ASSERT_FALSE(w.Numbers.empty());
    EXPECT_EQ(w.Numbers[0], 0);
    EXPECT_EQ(w.Captions[0], "00:00:00.005");
    EXPECT_TRUE(w.Destroyed);  // freed with the task's clean-up
  }
}

TEST_F(PreviewTest, AtMostOnePicturePerIntervalPerTask) {
  auto run = [&](int64_t intervalUs, bool mainThread, int64_t* elapsedUs) {
    TFFEncoder e;
    e.SetPreviewBitmap(true);
    e.SetTriggerEventInMainThread(mainThread);
    std::vector<int> numbers;
    std::mutex lock;
    e.OnPreviewBitmap = [&](TFFEncoder*, const TPreviewInfo& p) {
      EXPECT_EQ(IsMainThread(), mainThread);
      std::lock_guard<std::mutex> g(lock);
      numbers.push_back(p.FrameNumber);
    };
    Add(e, Out("i.mkv"));
    if (intervalUs >= 0) e.Task(0)->PreviewIntervalUs = intervalUs;
    const int64_t start = av_gettime_relative();
    auto got = RunAll(e, 1);
    if (elapsedUs) *elapsedUs = av_gettime_relative() - start;
    EXPECT_TRUE(got[0].Finished);
    std::lock_guard<std::mutex> g(lock);
    return numbers;
  };
  // An hour between pictures: the first one only.
  EXPECT_EQ(run(3600LL * 1000000, true, nullptr), (std::vector<int>{1}));
  // No interval: every picture, in order.
  std::vector<int> all = run(0, false, nullptr);
  std::vector<int> expected;
  for (int i = 1; i <= Info.frameCount; i++) expected.push_back(i);
  EXPECT_EQ(all, expected);
  // The default 100 ms: never more pictures than intervals begun while the task ran.
  int64_t elapsed = 0;
  std::vector<int> some = run(-1, true, &elapsed);
  ASSERT_FALSE(some.empty());
  EXPECT_EQ(some[0], 1);
  EXPECT_LE(int64_t(some.size()), 1 + elapsed / 100000);
  for (size_t i = 1; i < some.size(); i++) EXPECT_GT(some[i], some[i - 1]);
}

TEST_F(PreviewTest, EachTaskHasItsOwnWindowAndClosingOneStopsOnlyIt) {
  TWindowFactory windows;
  TFFEncoder e;
  e.SetPreview(true);
  Add(e, Out("a.mkv"));
  Add(e, Out("b.mkv"));
  e.Task(0)->PreviewIntervalUs = 0;
  e.Task(1)->PreviewIntervalUs = 0;
  size_t drawnAtClose = 0;
  TWindowRecord* closed = nullptr;
  auto got = RunAll(e, 2, [&] {
    // The user closes the first window once it has shown three pictures.
    if (!closed && !windows.Windows.empty() && windows.Windows[0]->Widths.size() >= 3) {
      closed = windows.Windows[0].get();
      drawnAtClose = closed->Widths.size();
      closed->Self->OnClose();
    }
  });
  ASSERT_NE(closed, nullptr);
  ASSERT_EQ(windows.Windows.size(), 2u);  // one per task, none made again after the close
  EXPECT_EQ(closed->Widths.size(), drawnAtClose);
  EXPECT_TRUE(closed->Destroyed);
  const TWindowRecord& open = *windows.Windows[1];
  EXPECT_EQ(open.Numbers, Iota(Info.frameCount));
  EXPECT_TRUE(open.Destroyed);
  // Only the task whose window closed lost its window flag; both outputs are whole.
  int flagsOff = 0;
  for (int t = 0; t < 2; t++) {
    EXPECT_TRUE(got[size_t(t)].Finished) << got[size_t(t)].ExceptionMsg;
    flagsOff += (e.Task(t)->PreviewFlags() & 1) == 0;
  }
  EXPECT_EQ(flagsOff, 1);
  EXPECT_EQ(DecodedNumbers(Out("a.mkv")), Iota(Info.frameCount));
  EXPECT_EQ(DecodedNumbers(Out("b.mkv")), Iota(Info.frameCount));
}

TEST_F(PreviewTest, WithoutAWindowFactoryTheWindowFlagIsCleared) {
  SetPreviewWindowFactory(nullptr);
  TFFEncoder e;
  e.SetPreview(true);
  Add(e, Out("n.mkv"));
  EXPECT_EQ(e.Task(0)->PreviewFlags(), 1);
  auto got = RunAll(e, 1);
  EXPECT_TRUE(got[0].Finished) << got[0].ExceptionMsg;
  EXPECT_EQ(e.Task(0)->PreviewFlags(), 0);
  EXPECT_EQ(DecodedNumbers(Out("n.mkv")), Iota(Info.frameCount));
}

TEST_F(PreviewTest, ChangingTheFlagsDuringJobsNeverDeadLocks) {
  TWindowFactory windows;
  for (int job = 0; job < 4; job++) {
    TFFEncoder e;
    int events = 0;
    e.OnPreviewBitmap = [&](TFFEncoder*, const TPreviewInfo&) { events++; };
    e.SetPreview(true);
    e.SetPreviewBitmap(true);
    Add(e, Out("t0.mkv"), "-c:v mpeg4 -s 640x480 -an");
    Add(e, Out("t1.mkv"), "-c:v mpeg4 -s 640x480 -an");
    e.Task(0)->PreviewIntervalUs = 0;
    e.Task(1)->PreviewIntervalUs = 0;
    int i = 0;
    auto got = RunAll(e, 2, [&] {
      // Toggle many times between two servings, sometimes while the workers wait for us.
      for (int k = 0; k < 50; k++, i++) {
        e.SetPreviewBitmap(i % 2 == 0);
        e.SetPreview(i % 3 != 0);
      }
      if (i % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    for (int t = 0; t < 2; t++) EXPECT_TRUE(got[size_t(t)].Finished) << job;
    EXPECT_EQ(DecodedNumbers(Out("t0.mkv")).size(), size_t(Info.frameCount));
    EXPECT_EQ(DecodedNumbers(Out("t1.mkv")).size(), size_t(Info.frameCount));
  }
  for (auto& w : windows.Windows) EXPECT_TRUE(w->Destroyed);
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
