// The worker dispatch runs one enabled test of a pass: it turns the test's configured list
// into worker threads (at most kMaxWorkersPerTest), starts one thread per entry, pins each
// to one processor right after its start, and returns when every thread of the test has
// ended. It judges nothing: workers report their own errors.
//
// Texts it writes, each beginning with the test's error prefix:
//   "Unable to set Thread Affinity mask for thread %d ***]"  log and console; the worker
//       runs unpinned and the run is not failed by it.
//   "Only 10 workers per test, <list> entries left out: ... ***]"  log and console, once.
//   "Unable to start thread %d (<reason>) ***]"  log, system log and console; raises the
//       failure flag, because a test that did not run cannot pass.
#ifndef FORGEVAL_RUN_WORKER_DISPATCH_H_
#define FORGEVAL_RUN_WORKER_DISPATCH_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "run/test_table.h"
#include "stress/disk_worker_args.h"

namespace forgeval {

inline constexpr int kMaxWorkersPerTest = 10;

// Highest processor number an affinity mask can name.
inline constexpr int kMaxProcessorNumber = 63;

// Starts the test's workers, pins them and waits for all of them; then writes one worker_end
// run record per worker, in index order, for pass `pass_number`. Returns true when a worker
// was stopped by a stop request before the end of its work (the test was cut short).
bool DispatchTest(const TestEntry& test, int pass_number);

// What the run's workers have tested so far. Read and cleared by the driver, between tests.
struct RunTested {
  bool tested = false;  // a worker completed work that tested something
  // Each distinct text of workers that completed without testing anything, in order.
  std::vector<std::string> untested;
};
const RunTested& TestedSoFar();
void ClearTestedSoFar();

// The processor number a "CPU" entry names: its leading decimal number (0 for a word).
int ProcessorNumber(std::string_view entry);

// A "Drive" entry as the directory the disk worker writes into (platform::DriveRoot): a
// folder with one trailing '/' on Linux, a drive letter's root "C:\" or a folder on Windows.
std::string DriveRootPath(std::string_view entry);

// The disk test's "Size": the first 64 characters of its text; 40 when empty, else the
// 32-bit unsigned conversion stored unchanged (so -5 gives -5).
int32_t DiskSizeSetting();

}  // namespace forgeval

#endif  // FORGEVAL_RUN_WORKER_DISPATCH_H_
