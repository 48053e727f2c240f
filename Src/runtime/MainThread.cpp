#include "MainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

// One queued call; the worker that queued it waits on Done.
struct TMainThreadCall {
  std::function<void()> Fn;
  bool Done = false;
  std::exception_ptr Error;
};

struct TMainThreadState {
  std::mutex Lock;
  std::condition_variable Queued;   // main thread: a call arrived or a wake-up was asked for
  std::condition_variable Finished; // workers: a call has run
  std::deque<std::shared_ptr<TMainThreadCall>> Calls;
  std::function<void()> WakeUp;
  std::function<void()> Idle;
  unsigned WakeCount = 0;
  bool Marked = false;
  std::thread::id MainId;
};

TMainThreadState& State() {
  // Never destroyed: workers may still queue calls while static objects go away at exit.
  static TMainThreadState* state = new TMainThreadState;
  return *state;
}

// How long the main thread sleeps at most before it looks at the condition again.
constexpr auto WaitSlice = std::chrono::milliseconds(10);

bool IsInitialThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

} // namespace

void MarkMainThread() {
  TMainThreadState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.MainId = std::this_thread::get_id();
  s.Marked = true;
}

bool IsMainThread() {
  TMainThreadState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  if (s.Marked)
    return s.MainId == std::this_thread::get_id();
  return IsInitialThread();
}

void RunInMainThread(std::function<void()> fn) {
  if (!fn)
    return;
  if (IsMainThread()) {
    fn();
    return;
  }
  TMainThreadState& s = State();
  auto call = std::make_shared<TMainThreadCall>();
  call->Fn = std::move(fn);
  std::function<void()> wakeUp;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Calls.push_back(call);
    wakeUp = s.WakeUp;
  }
  s.Queued.notify_all();
  // The hook runs outside the lock: it may post to an event loop that calls back in here.
  if (wakeUp)
    wakeUp();
  {
    std::unique_lock<std::mutex> guard(s.Lock);
    s.Finished.wait(guard, [&] { return call->Done; });
  }
  if (call->Error)
    std::rethrow_exception(call->Error);
}

bool ProcessMainThreadCalls() {
  if (!IsMainThread())
    return false;
  TMainThreadState& s = State();
  bool ran = false;
  for (;;) {
    std::shared_ptr<TMainThreadCall> call;
    {
      std::lock_guard<std::mutex> guard(s.Lock);
      if (s.Calls.empty())
        break;
      call = std::move(s.Calls.front());
      s.Calls.pop_front();
    }
    // One call at a time and outside the lock: a call may itself wait or queue.
    try {
      call->Fn();
    } catch (...) {
      call->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> guard(s.Lock);
      call->Fn = nullptr;
      call->Done = true;
      // The worker still holds the call: the result (an exception, say) dies on its side.
      call.reset();
    }
    s.Finished.notify_all();
    ran = true;
  }
  return ran;
}

void SetMainThreadWakeUp(std::function<void()> hook) {
  TMainThreadState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.WakeUp = std::move(hook);
}

void SetMainThreadIdle(std::function<void()> hook) {
  TMainThreadState& s = State();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Idle = std::move(hook);
}

void WakeMainThread() {
  TMainThreadState& s = State();
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    ++s.WakeCount;
  }
  s.Queued.notify_all();
}

bool WaitInMainThread(const std::function<bool()>& done, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const bool onMain = IsMainThread();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  TMainThreadState& s = State();
  for (;;) {
    if (onMain) {
      ProcessMainThreadCalls();
      std::function<void()> idle;
      {
        std::lock_guard<std::mutex> guard(s.Lock);
        idle = s.Idle;
      }
      if (idle)
        idle();
    }
    if (done())
      return true;
    auto slice = WaitSlice;
    if (timeoutMs >= 0) {
      const auto now = Clock::now();
      if (now >= deadline)
        return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (left < slice)
        slice = left + std::chrono::milliseconds(1);
    }
    std::unique_lock<std::mutex> guard(s.Lock);
    const unsigned wakeCount = s.WakeCount;
    s.Queued.wait_for(guard, slice, [&] {
      return s.WakeCount != wakeCount || (onMain && !s.Calls.empty());
    });
  }
}
