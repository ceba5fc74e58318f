// The stop request on Windows: Ctrl+C, Ctrl+Break and the closing of the console window (or
// the user's logoff or a shutdown) arrive through SetConsoleCtrlHandler, on a thread of their
// own. They are numbered as the signals they stand for on Linux (SIGINT, SIGTERM, SIGHUP), so
// the run ends with the same codes on both systems.
#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

namespace forgeval::platform {
namespace {

constexpr int kSigHup = 1;
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;

std::atomic<int> g_interrupt_signal{0};

BOOL WINAPI OnConsoleControl(DWORD event) {
  int signal_number = kSigInt;
  if (event == CTRL_BREAK_EVENT) signal_number = kSigTerm;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    signal_number = kSigHup;
  const int earlier = g_interrupt_signal.exchange(signal_number);
  if (earlier != 0) {
    // The operator insists: end now, as the signal's default action does on Linux. Not
    // ExitProcess, whose library shut-down could wait for a lock a stopped thread holds.
    g_interrupt_signal.store(earlier);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(128 + signal_number));
  }
  RequestStop(StopReason::kInterrupt);
  if (signal_number == kSigHup) {
    // Windows ends the process once this handler returns from a close event; the workers get
    // the few seconds the system allows to release their files.
    for (int i = 0; i < 40; ++i) Sleep(100);
  }
  return TRUE;
}

}  // namespace

void InstallInterruptHandlers() {
  // A program started in a new process group, or by one that ignores Ctrl+C, inherits the
  // ignoring; the operator's Ctrl+C must stop a burn-in all the same, as a Linux run takes
  // SIGINT even when it was started ignoring it.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

int InterruptSignal() { return g_interrupt_signal.load(); }

const char* InterruptSignalName(int signal_number) {
  switch (signal_number) {
    case kSigTerm:
      return "Ctrl+Break";
    case kSigHup:
      return "console close";
    default:
      return "Ctrl+C";
  }
}

}  // namespace forgeval::platform
