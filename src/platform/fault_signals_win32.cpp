// SCAFFOLD: to be replaced by the Windows fault translation.
#include "platform/fault_signals.h"

namespace forgeval::platform {

ThreadFaultGuard::ThreadFaultGuard() = default;
ThreadFaultGuard::~ThreadFaultGuard() = default;
bool ThreadFaultGuard::Active() { return false; }

bool RunGuarded(void (*body)(void*), void* argument, FaultPointers*) {
  body(argument);
  return true;
}

void CaptureCurrentContext(FaultRecord* record, FaultContext*) {
  record->code = fault_code::kBreakpoint;
}

void FaultReleasedMutex::lock() { mutex_.lock(); }
void FaultReleasedMutex::unlock() { mutex_.unlock(); }

}  // namespace forgeval::platform
