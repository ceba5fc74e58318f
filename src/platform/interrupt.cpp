#include "platform/interrupt.h"

#include <atomic>

namespace forgeval::platform {
namespace {

std::atomic<StopReason> g_stop_reason{StopReason::kNone};
static_assert(std::atomic<StopReason>::is_always_lock_free, "used from a signal handler");

}  // namespace

void RequestStop(StopReason reason) {
  StopReason none = StopReason::kNone;
  g_stop_reason.compare_exchange_strong(none, reason);
}

bool StopRequested() { return g_stop_reason.load(std::memory_order_relaxed) != StopReason::kNone; }

StopReason StopRequestReason() { return g_stop_reason.load(); }

}  // namespace forgeval::platform
