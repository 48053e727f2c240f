// The encoder component's termination notices under load: many short tasks ending close
// together, delivered in the order they ended, in the main thread or in one thread of their own,
// and none after the component is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "engine/FFEncode.h"
#include "runtime/FFLog.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace {

constexpr int Tasks = 40;
constexpr int AtOnce = 4;

// Tasks that only pass the gate and sleep a little; each records, before the component sees it,
// the moment it ends, with the component's handling of the end under the same lock.
class NoticeTest : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llError);
  }
  void AddTasks(TFFEncoder& e) {
    const std::string src = FixturePath(FixtureKind::H264Mp4);
    for (int i = 0; i < Tasks; i++) {
      const int t = e.AddTask(src);
      ASSERT_EQ(t, i) << e.LastErrMsg();
      TFFmpeg* task = e.Task(t);
      task->CustomTranscode = [i](TCustomFFmpeg& self) {
        self.PassGate();
        std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 3000));
        return true;
      };
      auto component = task->OnTerminate;
      task->OnTerminate = [this, i, component](TCustomFFmpeg* self) {
        std::lock_guard<std::mutex> lock(EndLock);
        Ends.push_back(i);
        component(self);
      };
    }
  }
  int EndCount() {
    std::lock_guard<std::mutex> lock(EndLock);
    return static_cast<int>(Ends.size());
  }

  std::mutex EndLock;
  std::vector<int> Ends;
};

TEST_P(NoticeTest, ManyShortTasksAreNoticedInTheOrderTheyEnded) {
  const bool onMain = GetParam();
  TFFEncoder e;
  e.SetTriggerEventInMainThread(onMain);
  AddTasks(e);
  std::mutex lock;
  std::vector<int> notices;
  std::set<std::thread::id> threads;
  std::atomic<bool> done{false};
  bool offMain = false;
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
    std::lock_guard<std::mutex> g(lock);
    notices.push_back(i.TaskIndex);
    threads.insert(std::this_thread::get_id());
    offMain = offMain || !IsMainThread();
    EXPECT_TRUE(i.Finished) << i.TaskIndex << " " << i.ExceptionMsg;
    // A slow handler now and then, so that notices queue up behind it.
    if (i.TaskIndex % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (i.TaskIndex < 0) done = true;
  };
  e.StartTask(AtOnce);
  ASSERT_TRUE(WaitInMainThread([&] { return done.load(); }, 120000));
  std::lock_guard<std::mutex> g(lock);
  std::vector<int> expected;
  {
    std::lock_guard<std::mutex> ends(EndLock);
    expected = Ends;
  }
  ASSERT_EQ(expected.size(), static_cast<size_t>(Tasks));
  expected.push_back(-1);
  EXPECT_EQ(notices, expected);
  EXPECT_EQ(offMain, !onMain);
  // One deliverer, however many tasks ended together.
  EXPECT_EQ(threads.size(), 1u);
  e.ClearTasks();
}

TEST_P(NoticeTest, DestroyingWithNoticesPendingNeitherHangsNorDeliversLate) {
  const bool onMain = GetParam();
  auto e = std::make_unique<TFFEncoder>();
  e->SetTriggerEventInMainThread(onMain);
  AddTasks(*e);
  std::atomic<bool> gone{false}, late{false};
  std::atomic<int> started{0}, finished{0};
  e->OnTerminate = [&](TFFEncoder*, const TTerminateInfo&) {
    late = late || gone;
    ++started;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ++finished;
  };
  e->StartTask(AtOnce);
  if (onMain) {
    // Nothing served in the main thread meanwhile: every notice is still queued there.
    while (EndCount() < Tasks) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else {
    // The deliverer is busy with a slow handler and has more behind it.
    while (started.load() == 0 || EndCount() < Tasks / 2)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  e.reset();
  gone = true;
  EXPECT_EQ(started.load(), finished.load());  // none still running
  const int before = started.load();
  while (ProcessMainThreadCalls()) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(late);
  EXPECT_EQ(started.load(), before);
  if (onMain) {
    EXPECT_EQ(before, 0);
  }
}

TEST_P(NoticeTest, StopsFromSeveralThreadsEndEveryTaskOnce) {
  const bool onMain = GetParam();
  TFFEncoder e;
  e.SetTriggerEventInMainThread(onMain);
  AddTasks(e);
  // The first task runs until it is stopped; the others never start.
  std::atomic<bool> running{false};
  e.Task(0)->CustomTranscode = [&](TCustomFFmpeg& self) {
    running = true;
    while (!self.Broken) {
      self.PassGate();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  };
  std::atomic<int> finals{0};
  std::atomic<bool> done{false};
  std::vector<int> notices;
  std::mutex lock;
  e.OnTerminate = [&](TFFEncoder*, const TTerminateInfo& i) {
    std::lock_guard<std::mutex> g(lock);
    notices.push_back(i.TaskIndex);
    if (i.TaskIndex < 0) {
      ++finals;
      done = true;
    }
  };
  e.StartTask(1);
  while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<std::thread> stoppers;
  for (int k = 0; k < 4; k++) stoppers.emplace_back([&] { e.Stop(false); });
  for (auto& t : stoppers) t.join();
  ASSERT_TRUE(WaitInMainThread([&] { return done.load(); }, 60000));
  WaitInMainThread([] { return false; }, 50);  // anything late would come now
  std::lock_guard<std::mutex> g(lock);
  {
    std::lock_guard<std::mutex> ends(EndLock);
    std::vector<int> sorted = Ends;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted.size(), static_cast<size_t>(Tasks));
    for (int i = 0; i < Tasks; i++) EXPECT_EQ(sorted[size_t(i)], i);
    std::vector<int> expected = Ends;
    expected.push_back(-1);
    EXPECT_EQ(notices, expected);
  }
  EXPECT_EQ(finals.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Delivery, NoticeTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "MainThread" : "OwnThread";
                         });

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
