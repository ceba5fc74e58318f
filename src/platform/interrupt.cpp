#include "platform/interrupt.h"

#include <signal.h>

#include <atomic>

namespace forgeval::platform {
namespace {

std::atomic<int> g_interrupt_signal{0};
std::atomic<StopReason> g_stop_reason{StopReason::kNone};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");
static_assert(std::atomic<StopReason>::is_always_lock_free, "used from a signal handler");

void OnInterrupt(int signal_number) {
  const int earlier = g_interrupt_signal.exchange(signal_number);
  if (earlier != 0 && signal_number == SIGINT) {
    // The operator insists: end now, the usual way for SIGINT.
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
  }
  if (earlier != 0) g_interrupt_signal.store(earlier);  // the first signal names the interrupt
  RequestStop(StopReason::kInterrupt);
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void RequestStop(StopReason reason) {
  StopReason none = StopReason::kNone;
  g_stop_reason.compare_exchange_strong(none, reason);
}

bool StopRequested() { return g_stop_reason.load(std::memory_order_relaxed) != StopReason::kNone; }

StopReason StopRequestReason() { return g_stop_reason.load(); }

int InterruptSignal() { return g_interrupt_signal.load(); }

}  // namespace forgeval::platform
