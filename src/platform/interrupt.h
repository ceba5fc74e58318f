// The operator's interrupt: Ctrl+C (SIGINT) or SIGTERM asks the run to stop. The first
// signal only raises a flag that workers test at their block and step boundaries, so they
// can release what they hold (the disk test deletes its files) and the run can close its log.
// A second SIGINT ends the process at once.
#ifndef FORGEVAL_PLATFORM_INTERRUPT_H_
#define FORGEVAL_PLATFORM_INTERRUPT_H_

namespace forgeval::platform {

// Installs the SIGINT and SIGTERM handlers (without SA_RESTART, so a blocking call in the
// receiving thread returns EINTR). Call once at start-up, before any worker starts.
void InstallInterruptHandlers();

// True once SIGINT or SIGTERM has arrived. Cheap enough for a loop's block boundary.
bool InterruptRequested();

// The signal that interrupted the run: SIGINT, SIGTERM, or 0.
int InterruptSignal();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_INTERRUPT_H_
