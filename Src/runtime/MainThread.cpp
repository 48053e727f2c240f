#include "MainThread.h"

#include "FFLog.h"

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

// One queued call; the worker that queued it waits on Done, unless it was posted.
struct TMainThreadCall {
  std::function<void()> Fn;
  bool Posted = false;
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

// Appends the call to the queue and lets the main thread know.
void Enqueue(std::shared_ptr<TMainThreadCall> call) {
  TMainThreadState& s = State();
  std::function<void()> wakeUp;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    s.Calls.push_back(std::move(call));
    wakeUp = s.WakeUp;
  }
  s.Queued.notify_all();
  // The hook runs outside the lock: it may post to an event loop that calls back in here.
  if (wakeUp)
    wakeUp();
}

// A posted call has nobody to hand its failure to.
void ReportPostedFailure(const std::exception_ptr& error) {
  std::string what = "unknown exception";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  try {
    FFLogger().Log(nullptr, llError, "A call posted to the main thread failed: " + what);
  } catch (...) {
  }
}

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
  Enqueue(call);
  {
    std::unique_lock<std::mutex> guard(s.Lock);
    s.Finished.wait(guard, [&] { return call->Done; });
  }
  if (call->Error)
    std::rethrow_exception(call->Error);
}

void PostToMainThread(std::function<void()> fn) {
  if (!fn)
    return;
  auto call = std::make_shared<TMainThreadCall>();
  call->Fn = std::move(fn);
  call->Posted = true;
  Enqueue(std::move(call));
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
    if (call->Posted) {
      if (call->Error)
        ReportPostedFailure(call->Error);
      ran = true;
      continue;
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
