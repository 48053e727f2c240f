// The encoder component: task list, start modes, event order, stop, pause and resume.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/FFEncode.h"
#include "runtime/FFLoad.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& cmd) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return "popen failed";
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

class EncoderTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llError);
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir = fs::temp_directory_path() / ("trimora-encoder-" + std::to_string(getpid()) + "-" +
                                       t->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Src = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string Out(const std::string& n) const { return (Dir / n).string(); }
  int Add(TFFEncoder& e, const std::string& out, const std::string& opts) {
    int t = e.AddTask(Src);
    EXPECT_GE(t, 0) << e.LastErrMsg();
    TOutputOptions o;
    o.FileOptions = opts;
    EXPECT_GE(e.SetOutput(t, out, &o), 0) << e.LastErrMsg();
    return t;
  }
  // Runs queued main-thread calls until the final notice arrived.
  static bool WaitAllDone(const bool& done, int ms = 120000) {
    return WaitInMainThread([&] { return done; }, ms);
  }
  fs::path Dir;
  std::string Src;
};

}  // namespace

TEST_F(EncoderTest, PropertiesAndTheWorkingCheck) {
  TFFEncoder e;
  e.SetProgressInterval(50);
  EXPECT_EQ(e.ProgressInterval(), 100);
  e.SetProgressInterval(101);
  EXPECT_EQ(e.ProgressInterval(), 101);
  TInputOptions in;
  int t = e.AddTask(Src, &in);
  ASSERT_EQ(t, 0);
  EXPECT_EQ(in.FileName, Src);
  TOutputOptions o;
  o.VideoHookBitsPixel = 12;
  EXPECT_EQ(e.SetOutput(t, Out("x.mkv"), &o), -1);
  EXPECT_EQ(e.LastErrMsg(), "Invalid BitsPixel 12");
  o.VideoHookBitsPixel = 32;
  o.FileOptions = "-c:v mpeg4 -VIDEOINPUTHOOK -t 0.2";
  EXPECT_EQ(e.SetOutput(t, Out("x.mkv"), &o), 0) << e.LastErrMsg();
  bool done = false;
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) { done = done || i.TaskIndex == -1; };
  e.StartTask(0);
  EXPECT_TRUE(done);  // synchronous: everything ran before StartTask returned
  try {
    e.AddTask(Src);
    ADD_FAILURE() << "no error";
  } catch (const std::exception& ex) {
    EXPECT_STREQ(ex.what(), "Cannot AddTask while working.");
  }
  e.ClearTasks();
  EXPECT_FALSE(e.Working());
  EXPECT_GE(e.AddTask(Src), 0);
}

TEST_F(EncoderTest, ThreeTasksTwoAtATimeEventOrder) {
  TFFEncoder e;
  for (int i = 0; i < 3; i++) Add(e, Out("t" + std::to_string(i) + ".mkv"), "-c:v mpeg4 -t 1");
  std::vector<int> order;
  std::vector<int> finished;
  bool done = false;
  int progressFinals = 0;
  e.OnProgress = [&](TFFEncoder*, PProgressInfo p) {
    EXPECT_TRUE(IsMainThread());
    progressFinals += p->FileIndex == -1;
  };
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
    EXPECT_TRUE(IsMainThread());
    order.push_back(i.TaskIndex);
    finished.push_back(i.Finished);
    if (i.TaskIndex == -1) done = true;
  };
  e.StartTask(2);
  EXPECT_TRUE(e.Working());
  ASSERT_TRUE(WaitAllDone(done));
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order.back(), -1);
  std::vector<int> tasks(order.begin(), order.end() - 1);
  std::sort(tasks.begin(), tasks.end());
  EXPECT_EQ(tasks, (std::vector<int>{0, 1, 2}));
  for (int f : finished) EXPECT_TRUE(f);
  EXPECT_EQ(progressFinals, 3);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(fs::exists(Out("t" + std::to_string(i) + ".mkv")));
  e.ClearTasks();
}

TEST_F(EncoderTest, OneAtATimeRunsInOrder) {
  TFFEncoder e;
  for (int i = 0; i < 3; i++) Add(e, Out("s" + std::to_string(i) + ".mkv"), "-c copy -t 1");
  std::vector<int> order;
  bool done = false;
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
    order.push_back(i.TaskIndex);
    done = i.TaskIndex == -1;
  };
  e.StartTask(1);
  ASSERT_TRUE(WaitAllDone(done));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1}));
}

TEST_F(EncoderTest, StopDuringTheFirstOfThree) {
  TFFEncoder e;
  for (int i = 0; i < 3; i++)
    Add(e, Out("p" + std::to_string(i) + ".mkv"), "-c:v mpeg4 -s 1280x960 -qscale 1");
  std::vector<TTerminateInfo> got;
  bool done = false;
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
    got.push_back(i);
    done = i.TaskIndex == -1;
  };
  e.StartTask(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  e.Stop(true);
  ASSERT_TRUE(WaitAllDone(done));
  ASSERT_EQ(got.size(), 4u);
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(got[k].TaskIndex, k);
    EXPECT_FALSE(got[k].Finished);
    EXPECT_FALSE(got[k].Exception) << got[k].ExceptionMsg;
  }
  EXPECT_EQ(got[3].TaskIndex, -1);
  EXPECT_TRUE(got[3].Finished);
  EXPECT_TRUE(fs::exists(Out("p0.mkv")));
  EXPECT_FALSE(fs::exists(Out("p1.mkv")));
}

TEST_F(EncoderTest, PauseResumeStopCyclesNeverDeadLock) {
  for (int cycle = 0; cycle < 200; cycle++) {
    TFFEncoder e;
    Add(e, Out("c.mkv"), "-c:v mpeg4 -c:a aac");
    bool done = false;
    e.SetProgressInterval(100);
    e.OnProgress = [](TFFEncoder*, PProgressInfo) {};
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) { done = done || i.TaskIndex == -1; };
    e.StartTask(1);
    e.Pause();
    e.Pause();  // twice: still one pause
    EXPECT_TRUE(e.Paused());
    if (cycle % 2) std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 7));
    e.Resume();
    EXPECT_FALSE(e.Paused());
    if (cycle % 3 == 0) e.Pause();
    e.Stop(true);
    ASSERT_TRUE(WaitAllDone(done, 20000)) << cycle;
    e.ClearTasks();
  }
}

TEST_F(EncoderTest, DestroyingWhileWorkingStopsTheTasksAndSilencesTheEvents) {
  for (bool paused : {false, true}) {
    auto e = std::make_unique<TFFEncoder>();
    e->SetTriggerEventInMainThread(false);  // handlers run in the workers, as late as can be
    e->SetProgressInterval(100);
    for (int i = 0; i < 2; i++) {
      int t = e->AddTask(Src);
      ASSERT_GE(t, 0) << e->LastErrMsg();
      TOutputOptions o;
      o.FileOptions = "-c:v mpeg4 -s 1280x960 -qscale 1";
      o.FrameOutputHook = true;
      ASSERT_GE(e->SetOutput(t, Out("d" + std::to_string(i) + ".mkv"), &o), 0)
          << e->LastErrMsg();
    }
    std::atomic<bool> dying{false}, lateEvent{false}, inside{false};
    // The first report holds its worker inside the handler until the destruction began: the
    // handler must not be let go under it.
    e->OnProgress = [&](TFFEncoder*, PProgressInfo) {
      lateEvent = lateEvent || dying;
      if (inside.exchange(true)) return;
      while (!dying) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    e->OnTerminate = [&](TFFEncoder*, const TTerminateInfo&) { lateEvent = lateEvent || dying; };
    e->OnFrameOutputHook = [&](TFFEncoder*, PFrameHookInfo) { lateEvent = lateEvent || dying; };
    e->StartTask(1);
    while (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (paused) e->Pause();
    dying = true;
    e.reset();
    EXPECT_FALSE(lateEvent) << paused;
    EXPECT_TRUE(fs::exists(Out("d0.mkv")));
    EXPECT_FALSE(fs::exists(Out("d1.mkv")));
    EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + Out("d0.mkv") + "' -f null -"), "");
    fs::remove(Out("d0.mkv"));
  }
}

// The libraries come through the loader; a failure gives the loader's text and a later load
// from a good folder succeeds again.
TEST_F(EncoderTest, LoadsItsLibrariesThroughTheLoader) {
  TFFEncoder e;
  ASSERT_TRUE(e.LoadAVLib("")) << e.LastErrMsg();
  EXPECT_TRUE(e.AVLibLoaded());
  FFLoader().UnloadLib(TLibrary::avdevice);
  FFLoader().SetLibraryFileName(TLibrary::avdevice, "libtrimora-missing.so.1");
  EXPECT_FALSE(e.AVLibLoaded());
  EXPECT_FALSE(e.LoadAVLib("LibAV"));
  EXPECT_EQ(e.LastErrMsg().rfind("Load library libtrimora-missing.so.1 error: ", 0), 0u) << e.LastErrMsg();
  EXPECT_EQ(FFLoader().LibraryPath(), "LibAV");
  FFLoader().SetLibraryFileName(TLibrary::avdevice, "");
  EXPECT_TRUE(e.LoadAVLib(""));
  EXPECT_TRUE(e.AVLibLoaded());
}

// The component's event comes with the task AddTask makes and the input's container, before its
// streams are probed; in the main thread when asked, else in the thread that adds the task.
TEST_F(EncoderTest, BeforeFindStreamInfoNamesTheTaskAndRunsWhereAsked) {
  for (const bool onMain : {true, false}) {
    TFFEncoder e;
    e.SetTriggerEventInMainThread(onMain);
    TFFmpeg* sender = nullptr;
    std::string url;
    bool mainThread = !onMain;
    int calls = 0;
    e.OnBeforeFindStreamInfo = [&](TFFmpeg* task, AVFormatContext* s) {
      sender = task;
      url = s->url ? s->url : "";
      mainThread = IsMainThread();
      calls++;
    };
    std::atomic<bool> added{false};
    int index = -1;
    std::thread adder([&] {
      index = e.AddTask(Src);
      added = true;
    });
    ASSERT_TRUE(WaitInMainThread([&] { return added.load(); }, 30000));
    adder.join();
    ASSERT_EQ(index, 0) << e.LastErrMsg();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sender, e.Task(0));
    EXPECT_NE(url.find(fs::path(Src).filename().string()), std::string::npos) << url;
    EXPECT_EQ(mainThread, onMain);
  }
}

// Worker threads run at the priority asked, as far as the system lets them: lower always,
// higher only with privileges, and a refused raise does not keep the task from finishing.
TEST_F(EncoderTest, WorkerThreadsTakeTheThreadPriority) {
  const int base = getpriority(PRIO_PROCESS, 0);
  for (const TThreadPriority priority : {tpLowest, tpTimeCritical}) {
    TFFEncoder e;
    EXPECT_EQ(e.ThreadPriority(), tpNormal);
    e.SetThreadPriority(priority);
    e.SetTriggerEventInMainThread(false);
    Add(e, Out("p.mkv"), "-c:v mpeg4 -t 0.5");
    std::atomic<int> nice{100};
    std::atomic<bool> done{false}, finished{false};
    e.OnProgress = [&](TFFEncoder*, PProgressInfo) {
      nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    };
    e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
      if (i.TaskIndex == 0) finished = i.Finished;
      if (i.TaskIndex == -1) done = true;
    };
    e.StartTask(1);
    ASSERT_TRUE(WaitInMainThread([&] { return done.load(); }, 60000));
    EXPECT_TRUE(finished);
    if (priority == tpLowest)
      EXPECT_EQ(nice, std::min(base + 10, 19));
    else
      EXPECT_TRUE(nice == base || nice == std::max(base - 20, -20)) << nice;
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), base);
    fs::remove(Out("p.mkv"));
  }
}

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
