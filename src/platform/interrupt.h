// The stop request: Ctrl+C (SIGINT) or SIGTERM from the operator, or the run's time limit,
// asks the workers to stop. The request only raises a flag that workers test at their block
// and step boundaries, so they can release what they hold (the disk test deletes its files)
// and the run can close its log. The first request names the reason; later ones change
// nothing. A second SIGINT ends the process at once.
#ifndef FORGEVAL_PLATFORM_INTERRUPT_H_
#define FORGEVAL_PLATFORM_INTERRUPT_H_

namespace forgeval::platform {

// Why the run is asked to stop.
enum class StopReason { kNone, kInterrupt, kTimeLimit };

// Installs the SIGINT and SIGTERM handlers (without SA_RESTART, so a blocking call in the
// receiving thread returns EINTR). Call once at start-up, before any worker starts.
void InstallInterruptHandlers();

// Asks the run to stop for `reason` unless it already was; safe in a signal handler.
void RequestStop(StopReason reason);

// True once a stop has been requested. Cheap enough for a loop's block boundary.
bool StopRequested();

// The reason of the first stop request, kNone before one.
StopReason StopRequestReason();

// The signal that interrupted the run: SIGINT, SIGTERM, or 0.
int InterruptSignal();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_INTERRUPT_H_
