// Worker threads on Windows: winpthreads threads (the toolchain's std::thread is built on them),
// pinned with SetThreadAffinityMask on the thread's own handle.
#include "platform/thread.h"

#include <windows.h>

#include <cerrno>

namespace forgeval::platform {

int WorkerThread::PinToProcessor(int cpu) {
  // One processor group of at most 64 processors, as the affinity mask of a thread holds.
  if (!started_ || cpu < 0 || cpu >= 64) return EINVAL;
  const DWORD_PTR mask = DWORD_PTR{1} << cpu;
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
      (process_mask & mask) == 0)
    return EINVAL;
  HANDLE thread = pthread_gethandle(handle_);
  if (thread == nullptr || SetThreadAffinityMask(thread, mask) == 0) return EINVAL;
  return 0;
}

int UsableProcessorCount() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 1;
  int count = 0;
  for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
  return count > 0 ? count : 1;
}

int CurrentProcessor() { return static_cast<int>(GetCurrentProcessorNumber()); }

}  // namespace forgeval::platform
