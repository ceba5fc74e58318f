#include "platform/interrupt.h"

#include <signal.h>

#include <atomic>

namespace forgeval::platform {
namespace {

std::atomic<int> g_interrupt_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGUSR1, SIGALRM};

void OnInterrupt(int signal_number) {
  const int earlier = g_interrupt_signal.exchange(signal_number);
  if (earlier != 0) {
    // The operator insists: end now, the usual way for this signal.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    g_interrupt_signal.store(earlier);  // the first signal names the interrupt
  }
  RequestStop(StopReason::kInterrupt);
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal_number : kInterruptSignals) sigaction(signal_number, &action, nullptr);
  for (int signal_number : kIgnoredSignals) signal(signal_number, SIG_IGN);
}

int InterruptSignal() { return g_interrupt_signal.load(); }

const char* InterruptSignalName(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGINT";
  }
}

}  // namespace forgeval::platform
