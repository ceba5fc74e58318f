// The operator's interrupt: Ctrl+C (SIGINT), SIGTERM or a hang-up of the session (SIGHUP)
// asks the run to stop. The first signal only raises a flag that workers test at their block
// and step boundaries, so they can release what they hold (the disk test deletes its files)
// and the run can close its log and its record. A second of these signals, of any of the
// three kinds, ends the process at once.
//
// Signals whose default would kill the run without any of that are ignored: SIGPIPE (a
// console pipe whose reader went away; the write then fails with EPIPE and the run goes on
// without the console), SIGUSR1 and SIGALRM (no part of the program uses them; a stray one
// from another tool must not end a burn-in of hours).
#ifndef FORGEVAL_PLATFORM_INTERRUPT_H_
#define FORGEVAL_PLATFORM_INTERRUPT_H_

namespace forgeval::platform {

// Installs the SIGINT, SIGTERM and SIGHUP handlers (without SA_RESTART, so a blocking call in
// the receiving thread returns EINTR) and ignores SIGPIPE, SIGUSR1 and SIGALRM. Call once at
// start-up, before any worker starts.
void InstallInterruptHandlers();

// True once SIGINT, SIGTERM or SIGHUP has arrived. Cheap enough for a loop's block boundary.
bool InterruptRequested();

// The signal that interrupted the run: SIGINT, SIGTERM, SIGHUP, or 0.
int InterruptSignal();

// The signal's name, "SIGINT", "SIGTERM" or "SIGHUP".
const char* InterruptSignalName(int signal_number);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_INTERRUPT_H_
