#include "report/failure_flag.h"

#include <atomic>

namespace forgeval {
namespace {

std::atomic<bool> g_failure_flag{false};

}  // namespace

void ClearFailureFlag() { g_failure_flag.store(false); }
void RaiseFailureFlag() { g_failure_flag.store(true); }
bool FailureFlagRaised() { return g_failure_flag.load(); }

}  // namespace forgeval
