// The failure flag: one process-wide boolean, clear at start-up, raised by every error path
// (a worker's or the driver's), never cleared during the run, and read for the verdict and
// the exit code. Workers raise it while other workers run, so it is atomic; every writer
// stores the same value.
#ifndef FORGEVAL_REPORT_FAILURE_FLAG_H_
#define FORGEVAL_REPORT_FAILURE_FLAG_H_

namespace forgeval {

void ClearFailureFlag();
void RaiseFailureFlag();
bool FailureFlagRaised();

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_FAILURE_FLAG_H_
