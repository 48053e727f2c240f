#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/FFLog.h"
#include "runtime/MainThread.h"

namespace {

TEST(MainThread, WorkerCallRunsOnMainThreadAndWorkerWaitsForIt) {
  ASSERT_TRUE(IsMainThread());
  const auto mainId = std::this_thread::get_id();
  std::atomic<bool> finished{false};
  std::thread::id ranOn;
  int value = 0;
  int seenAfterReturn = -1;
  std::thread worker([&] {
    EXPECT_FALSE(IsMainThread());
    RunInMainThread([&] {
      ranOn = std::this_thread::get_id();
      value = 42;
    });
    // RunInMainThread returns only after the call ran.
    seenAfterReturn = value;
    finished = true;
  });
  // The main thread waits for the worker, which itself waits for the main thread.
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load(); }));
  worker.join();
  EXPECT_EQ(ranOn, mainId);
  EXPECT_EQ(seenAfterReturn, 42);
  EXPECT_FALSE(ProcessMainThreadCalls());
}

TEST(MainThread, DirectOnMainThread) {
  bool ran = false;
  RunInMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(ProcessMainThreadCalls());
}

TEST(MainThread, ExceptionReachesTheWaitingWorker) {
  std::atomic<bool> finished{false};
  std::string caught;
  std::thread worker([&] {
    try {
      RunInMainThread([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    finished = true;
  });
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load(); }));
  worker.join();
  EXPECT_EQ(caught, "handler failed");
}

TEST(MainThread, ManyWorkersAndNestedWaits) {
  // Calls from several workers run one by one on the main thread, in each worker's order, and a
  // queued call may itself wait in the main thread for another worker.
  constexpr int Workers = 4, CallsEach = 50;
  std::vector<std::vector<int>> seen(Workers);
  std::atomic<int> finished{0};
  std::atomic<bool> lateDone{false};
  std::atomic<bool> nestedOk{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < Workers; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < CallsEach; ++i)
        RunInMainThread([&, w, i] {
          EXPECT_TRUE(IsMainThread());
          seen[w].push_back(i);
        });
      if (w == 0)
        RunInMainThread([&] {
          std::thread late([&] {
            RunInMainThread([] {});
            lateDone = true;
          });
          nestedOk = WaitInMainThread([&] { return lateDone.load(); });
          late.join();
        });
      ++finished;
    });
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load() == Workers; }));
  for (auto& t : threads)
    t.join();
  EXPECT_TRUE(nestedOk);
  for (int w = 0; w < Workers; ++w) {
    ASSERT_EQ(seen[w].size(), static_cast<size_t>(CallsEach));
    for (int i = 0; i < CallsEach; ++i)
      EXPECT_EQ(seen[w][i], i);
  }
}

TEST(MainThread, WakeUpHookAndManualPumping) {
  // A host event loop learns about queued calls from the hook and runs them itself.
  std::atomic<int> wakeUps{0};
  std::atomic<bool> hookOnWorker{false};
  SetMainThreadWakeUp([&] {
    hookOnWorker = !IsMainThread();
    ++wakeUps;
  });
  std::atomic<bool> finished{false};
  int ran = 0;
  std::thread worker([&] {
    RunInMainThread([&] { ++ran; });
    finished = true;
  });
  while (wakeUps.load() == 0)
    std::this_thread::yield();
  EXPECT_TRUE(ProcessMainThreadCalls());
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(wakeUps.load(), 1);
  EXPECT_TRUE(hookOnWorker);
  SetMainThreadWakeUp(nullptr);
}

TEST(MainThread, OtherThreadsCannotServeCalls) {
  std::atomic<bool> queued{false};
  SetMainThreadWakeUp([&] { queued = true; });
  bool ran = false;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    RunInMainThread([&] { ran = true; });
    finished = true;
  });
  while (!queued)
    std::this_thread::yield();
  bool servedElsewhere = true;
  std::thread other([&] { servedElsewhere = ProcessMainThreadCalls(); });
  other.join();
  EXPECT_FALSE(servedElsewhere);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load(); }));
  worker.join();
  EXPECT_TRUE(ran);
  SetMainThreadWakeUp(nullptr);
}

TEST(MainThread, PostsAndBlockingCallsKeepEachThreadsOrder) {
  // Every worker mixes posts with blocking calls; a blocking call returns only after the posts
  // queued before it ran, and nothing overtakes within a thread.
  constexpr int Workers = 4, CallsEach = 60;
  std::vector<std::vector<int>> seen(Workers);
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < Workers; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < CallsEach; ++i) {
        auto call = [&, w, i] {
          EXPECT_TRUE(IsMainThread());
          seen[w].push_back(i);
        };
        if (i % 5 == 4) {
          const size_t before = static_cast<size_t>(i);
          RunInMainThread(call);
          // The main thread wrote seen[w] before it let this worker go.
          EXPECT_EQ(seen[w].size(), before + 1) << w << " " << i;
        } else {
          PostToMainThread(call);
        }
      }
      ++finished;
    });
  EXPECT_TRUE(WaitInMainThread([&] { return finished.load() == Workers; }));
  for (auto& t : threads)
    t.join();
  ProcessMainThreadCalls();  // the posts after each worker's last blocking call
  for (int w = 0; w < Workers; ++w) {
    ASSERT_EQ(seen[w].size(), static_cast<size_t>(CallsEach)) << w;
    for (int i = 0; i < CallsEach; ++i)
      EXPECT_EQ(seen[w][i], i) << w;
  }
  EXPECT_FALSE(ProcessMainThreadCalls());
}

TEST(MainThread, PostOnTheMainThreadWaitsItsTurn) {
  std::vector<std::string> order;
  std::atomic<bool> queued{false};
  SetMainThreadWakeUp([&] { queued = true; });
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    RunInMainThread([&] { order.push_back("worker"); });
    finished = true;
  });
  while (!queued)
    std::this_thread::yield();
  PostToMainThread([&] { order.push_back("first post"); });
  EXPECT_TRUE(order.empty());  // not at once, even here
  RunInMainThread([&] { order.push_back("direct"); });
  PostToMainThread([&] {
    order.push_back("second post");
    // Posted while the queue is served: runs in the same round, after what is queued.
    PostToMainThread([&] { order.push_back("from a post"); });
  });
  EXPECT_EQ(order, (std::vector<std::string>{"direct"}));
  EXPECT_TRUE(ProcessMainThreadCalls());
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(order, (std::vector<std::string>{"direct", "worker", "first post", "second post",
                                             "from a post"}));
  EXPECT_FALSE(ProcessMainThreadCalls());
  SetMainThreadWakeUp(nullptr);
}

TEST(MainThread, PostWakesTheHostOnThePostingThread) {
  std::mutex lock;
  std::vector<bool> hookOnMain;
  SetMainThreadWakeUp([&] {
    std::lock_guard<std::mutex> guard(lock);
    hookOnMain.push_back(IsMainThread());
  });
  int ran = 0;
  std::thread worker([&] { PostToMainThread([&] { ++ran; }); });
  worker.join();  // returned without the main thread's help
  PostToMainThread([&] { ++ran; });
  {
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(hookOnMain, (std::vector<bool>{false, true}));
  }
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(ProcessMainThreadCalls());
  EXPECT_EQ(ran, 2);
  SetMainThreadWakeUp(nullptr);
  // An empty call is not queued.
  PostToMainThread(nullptr);
  EXPECT_FALSE(ProcessMainThreadCalls());
}

TEST(MainThread, AFailingPostIsLoggedAndTheQueueGoesOn) {
  std::vector<std::pair<TLogLevel, std::string>> logged;
  FFLogger().SetOnLog([&](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    logged.emplace_back(level, msg);
  });
  bool after = false;
  std::thread worker([&] {
    PostToMainThread([] { throw std::runtime_error("posted handler failed"); });
    PostToMainThread([&] { after = true; });
  });
  worker.join();
  EXPECT_NO_THROW(ProcessMainThreadCalls());
  FFLogger().SetOnLog(nullptr);
  EXPECT_TRUE(after);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].first, llError);
  EXPECT_NE(logged[0].second.find("posted handler failed"), std::string::npos) << logged[0].second;
}

TEST(MainThread, WaitTimesOutAndIdleHookRuns) {
  int idleCalls = 0;
  SetMainThreadIdle([&] { ++idleCalls; });
  EXPECT_FALSE(WaitInMainThread([] { return false; }, 30));
  EXPECT_GT(idleCalls, 0);
  SetMainThreadIdle(nullptr);
  EXPECT_TRUE(WaitInMainThread([] { return true; }, 0));
}

TEST(MainThread, MarkMainThreadMovesTheRole) {
  std::thread other([] {
    MarkMainThread();
    EXPECT_TRUE(IsMainThread());
  });
  other.join();
  EXPECT_FALSE(IsMainThread());
  MarkMainThread();
  EXPECT_TRUE(IsMainThread());
}

} // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
