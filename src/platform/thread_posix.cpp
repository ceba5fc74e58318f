#include "platform/thread.h"

#include <sched.h>

#include <cerrno>
#include <cstring>

namespace forgeval::platform {

int WorkerThread::PinToProcessor(int cpu) {
  if (!started_ || cpu < 0 || cpu >= CPU_SETSIZE) return EINVAL;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<size_t>(cpu), &set);
  return pthread_setaffinity_np(handle_, sizeof set, &set);
}

int UsableProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

int CurrentProcessor() { return sched_getcpu(); }

}  // namespace forgeval::platform
