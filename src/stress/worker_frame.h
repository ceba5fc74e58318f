// The frame every test worker runs in. A worker installs fault translation for its thread,
// then runs its test body as a sequence of progress steps inside one guarded scope; a failed
// check or a caught exception takes the error path, which reports the error everywhere it
// must go, waits for the operator's acknowledgement and ends the worker.
//
// Progress step: ReportProgress(index, "Testing DRAM Arrays...") at the start and the same
// text with "[Done]" at the end; each announcement prints "Thread %d : <text>\n" on the
// console first, then writes the log line.
//
// Error path (ReportTestError): raise the failure flag; the text to the log; a line feed
// appended; the text to the system log; the text on the console; the operator's
// acknowledgement; Delete of a caught CSeException; the end of the worker with exit code
// 0xFFFFFFFF. Nothing of the test runs after it.
//
// Catch clauses of the guarded scope, in order: allocation failure ("Out of memory."),
// CSeException (its own description), and for the matrix test any other exception
// ("Error: An unexpected error occured"). Error texts name no thread unless the test's own
// text does.
#ifndef FORGEVAL_STRESS_WORKER_FRAME_H_
#define FORGEVAL_STRESS_WORKER_FRAME_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/run_record.h"

namespace forgeval {

class CSeException;

// Exit codes of a worker thread.
inline constexpr uint32_t kWorkerCompleted = 0;
inline constexpr uint32_t kWorkerFailed = 0xFFFFFFFF;
inline constexpr uint32_t kWorkerStopped = 0xFFFFFFFE;

enum class CatchClauses {
  kStandard,      // out of memory; CSeException
  kWithCatchAll,  // ... and any other exception (the matrix test)
};

// A test body: runs the test for one worker, reporting through the functions below.
using WorkerBody = void (*)(int worker_index);

// A test body that also needs its thread argument (the disk test's DiskWorkerArgs record).
using WorkerBodyWithArgument = void (*)(int worker_index, uintptr_t argument);

// Runs `body` for worker `worker_index` in the frame and returns the exit code.
uint32_t RunTestWorker(int worker_index, WorkerBody body, CatchClauses clauses);
uint32_t RunTestWorker(int worker_index, uintptr_t argument, WorkerBodyWithArgument body,
                       CatchClauses clauses);

// Announces one progress step.
void ReportProgress(int worker_index, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));

// How far the worker is through its own work (blocks, fill values, iterations, lengths or
// pairs), shown live on a terminal. Cheap; call it at block boundaries.
void ReportWorkProgress(int worker_index, double fraction);

// One figure of the worker's own work for the run record, e.g. ("bytes_checked", 1 << 30).
// A figure given again replaces the earlier value.
void ReportWorkerFigure(int worker_index, std::string_view name, RecordValue value);

// Says that the worker, although it may complete, tests nothing ("The Memory test allocated
// 0 MB"): the run then does not count it as tested work and shows `text` before its verdict.
void ReportNothingTested(int worker_index, std::string text);

// What a worker's frame leaves for the run record: its error text (empty when it took no
// error path), its seconds in the frame and its figures. Workers of one test have indexes
// 0 to 9, one slot each; the dispatch clears the slots before it starts a test's workers and
// takes each worker's outcome after the join.
// Times a stretch of a worker's work for its figures.
class WorkStopwatch {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  // `amount` per second in units of `unit` (1e9 for GB/s); 0 when no time could be measured.
  double Rate(double amount, double unit) const {
    const double seconds = Seconds();
    return seconds > 0 ? amount / seconds / unit : 0.0;
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

inline constexpr int kWorkerOutcomeSlots = 10;
struct WorkerOutcome {
  std::string error;
  double seconds = 0;
  std::vector<RecordFigure> figures;
  std::string untested;  // see ReportNothingTested
};
void ClearWorkerOutcomes();
WorkerOutcome TakeWorkerOutcome(int worker_index);

// Ends the worker quietly, with exit code kWorkerStopped, when the run is asked to stop (the
// operator's interrupt or the time limit). Test bodies call it at every block and step boundary;
// the frames of the body release what they hold on the way out.
void StopIfRequested();

// The error path for a worker: never returns. `exception` is the caught object, if any.
[[noreturn]] void ReportTestError(std::string text, CSeException* exception = nullptr);

// The error path's reporting steps, shared with the run driver's own handler: flag, log,
// line feed, system log, console, acknowledgement, Delete.
void TakeErrorPath(std::string text, CSeException* exception);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_WORKER_FRAME_H_
