// The stop request: Ctrl+C (SIGINT), SIGTERM or a hang-up of the session (SIGHUP) from the
// operator, or the run's time limit, asks the workers to stop. The request only raises a flag
// that workers test at their block and step boundaries, so they can release what they hold
// (the disk test deletes its files) and the run can close its log and its record. The first
// request names the reason; later ones change nothing. A second of the three signals, of any
// of the three kinds, ends the process at once.
//
// Signals whose default would kill the run without any of that are ignored: SIGPIPE (a
// console pipe whose reader went away; the write then fails with EPIPE and the run goes on
// without the console), SIGUSR1 and SIGALRM (no part of the program uses them; a stray one
// from another tool must not end a burn-in of hours).
#ifndef FORGEVAL_PLATFORM_INTERRUPT_H_
#define FORGEVAL_PLATFORM_INTERRUPT_H_

namespace forgeval::platform {

// Why the run is asked to stop.
enum class StopReason { kNone, kInterrupt, kTimeLimit };

// Installs the SIGINT, SIGTERM and SIGHUP handlers (without SA_RESTART, so a blocking call in
// the receiving thread returns EINTR) and ignores SIGPIPE, SIGUSR1 and SIGALRM. Call once at
// start-up, before any worker starts.
void InstallInterruptHandlers();

// Asks the run to stop for `reason` unless it already was; safe in a signal handler.
void RequestStop(StopReason reason);

// True once a stop has been requested. Cheap enough for a loop's block boundary.
bool StopRequested();

// The reason of the first stop request, kNone before one.
StopReason StopRequestReason();

// The signal that interrupted the run: SIGINT, SIGTERM, SIGHUP, or 0.
int InterruptSignal();

// The signal's name, "SIGINT", "SIGTERM" or "SIGHUP".
const char* InterruptSignalName(int signal_number);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_INTERRUPT_H_
