#include "runtime/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

int ThreadPriorityNiceStep(TThreadPriority priority) {
  switch (priority) {
    case tpIdle: return 19;
    case tpLowest: return 10;
    case tpLower: return 5;
    case tpNormal: return 0;
    case tpHigher: return -5;
    case tpHighest: return -10;
    case tpTimeCritical: return -20;
  }
  return 0;
}

bool SetCurrentThreadPriority(TThreadPriority priority) {
  const int step = ThreadPriorityNiceStep(priority);
  if (step == 0) return true;
  // On Linux a nice value belongs to a thread when set by its id; the base is the process's.
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, 0);
  if (base == -1 && errno != 0) return false;
  const int wanted = std::clamp(base + step, -20, 19);
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  return setpriority(PRIO_PROCESS, tid, wanted) == 0;
}
