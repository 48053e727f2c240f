#pragma once
// Hands calls to the main (window) thread. A worker that needs the main thread queues a call and
// blocks until the main thread ran it (RunInMainThread), or queues it and goes on
// (PostToMainThread). Both share one queue, so calls run in the order they were queued. The host
// binds this to its event loop through the wake-up hook; tests and the command line pump it
// themselves.
#include <functional>

// The calling thread becomes the main thread. Without it, the process's initial thread is the
// main thread.
void MarkMainThread();
bool IsMainThread();

// On the main thread fn runs at once. On any other thread fn is queued and the caller blocks until
// the main thread ran it; an exception thrown by fn is rethrown in the caller.
void RunInMainThread(std::function<void()> fn);

// Queues fn and returns at once, from any thread. On the main thread too: fn runs at the next
// ProcessMainThreadCalls, after everything queued before it. Calls from one thread run in the
// order that thread queued them, blocking and posted alike. Nobody waits for a posted call, so an
// exception thrown by it is logged (at error level) and dropped; the calls after it still run.
void PostToMainThread(std::function<void()> fn);

// Runs what is queued, in order, on the main thread (does nothing elsewhere). True if anything ran.
bool ProcessMainThreadCalls();

// Called, on the queuing thread, whenever a call is queued (blocking or posted); lets the host's
// event loop wake up and call ProcessMainThreadCalls. An empty hook removes it.
void SetMainThreadWakeUp(std::function<void()> hook);

// Called on the main thread between the slices of WaitInMainThread, so the host can serve its own
// messages (window events) while the main thread waits. An empty hook removes it.
void SetMainThreadIdle(std::function<void()> hook);

// Waits until done() holds, in short slices, serving queued calls (and the idle hook) between them
// when called on the main thread. timeoutMs < 0 waits without limit. True when done() held.
bool WaitInMainThread(const std::function<bool()>& done, int timeoutMs = -1);

// Ends the current slice of a WaitInMainThread at once, so that a changed condition is seen
// without waiting for the slice to run out. Any thread.
void WakeMainThread();
