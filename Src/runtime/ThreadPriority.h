#pragma once
// Thread priorities as the components name them, given to the calling thread as a nice value
// relative to the process's own. Best effort: a refused change (raising needs privileges) is
// not an error, the thread keeps running at the priority it has.

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The nice step from the process's value: tpIdle 19 (the lowest there is) ... tpNormal 0 ...
// tpTimeCritical -20.
int ThreadPriorityNiceStep(TThreadPriority priority);
// True when the calling thread now runs at that priority (tpNormal changes nothing).
bool SetCurrentThreadPriority(TThreadPriority priority);
