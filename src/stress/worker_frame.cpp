#include "stress/worker_frame.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>
#include <utility>

#include "fault/se_exception.h"
#include "platform/interrupt.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/live_status.h"
#include "report/message_box.h"
#include "report/run_log.h"

namespace forgeval {
namespace {

// How a worker ends after its error path: thrown to the top of the frame, past every catch
// clause of the guarded scope (the matrix test's catch-all included), so that the frames of
// the test body release what they hold on the way.
struct WorkerEnd {
  uint32_t exit_code;
};

// One outcome slot per worker index of a test, under one lock.
std::mutex g_outcomes_mutex;
std::array<WorkerOutcome, kWorkerOutcomeSlots> g_outcomes;

// Calls `change` on the slot of `worker_index` with the lock held; an index no dispatch gives
// has no slot and changes nothing.
template <typename Change>
void ChangeOutcome(int worker_index, Change change) {
  if (worker_index < 0 || static_cast<size_t>(worker_index) >= g_outcomes.size()) return;
  std::lock_guard<std::mutex> lock(g_outcomes_mutex);
  change(g_outcomes[static_cast<size_t>(worker_index)]);
}

// The index of the worker whose frame runs on this thread, for the error path.
thread_local int t_worker_index = -1;

constexpr const char* kOutOfMemory = "Out of memory.";
constexpr const char* kUnexpectedError = "Error: An unexpected error occured";

template <typename RunBody>
void RunGuardedScope(RunBody& run_body, CatchClauses clauses) {
  try {
    RunTranslated(run_body);
  } catch (const std::bad_alloc&) {
    ReportTestError(kOutOfMemory);
  } catch (CSeException* exception) {
    std::string text;
    exception->GetErrorMessage(text);
    ReportTestError(std::move(text), exception);
  } catch (const WorkerEnd&) {
    throw;
  } catch (...) {
    if (clauses != CatchClauses::kWithCatchAll) throw;
    ReportTestError(kUnexpectedError);
  }
}

template <typename RunBody>
uint32_t RunInFrame(int worker_index, RunBody& run_body, CatchClauses clauses) {
  const WorkStopwatch stopwatch;
  t_worker_index = worker_index;
  SeTranslatorScope translator;
  uint32_t exit_code = kWorkerCompleted;
  try {
    RunGuardedScope(run_body, clauses);
  } catch (const WorkerEnd& end) {
    exit_code = end.exit_code;
  }
  const double seconds = stopwatch.Seconds();
  ChangeOutcome(worker_index, [seconds](WorkerOutcome& outcome) { outcome.seconds = seconds; });
  t_worker_index = -1;
  return exit_code;
}

}  // namespace

uint32_t RunTestWorker(int worker_index, WorkerBody body, CatchClauses clauses) {
  auto run_body = [worker_index, body] { body(worker_index); };
  return RunInFrame(worker_index, run_body, clauses);
}

uint32_t RunTestWorker(int worker_index, uintptr_t argument, WorkerBodyWithArgument body,
                       CatchClauses clauses) {
  auto run_body = [worker_index, argument, body] { body(worker_index, argument); };
  return RunInFrame(worker_index, run_body, clauses);
}

void ReportProgress(int worker_index, const char* format, ...) {
  char step[RunLog::kMessageBufferSize];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(step, sizeof step, format, arguments);
  va_end(arguments);
  ConsolePrint("Thread %d : %s\n", worker_index, step);
  LogThreadMessage(worker_index, "%s", step);
}

void TakeErrorPath(std::string text, CSeException* exception) {
  RaiseFailureFlag();
  LogMessage("%s", text.c_str());
  text += '\n';
  ReportErrorEvent(text.c_str());
  ConsoleWrite(text);
  MessageBox(text);
  if (exception != nullptr) exception->Delete();
}

void ReportTestError(std::string text, CSeException* exception) {
  ChangeOutcome(t_worker_index, [&text](WorkerOutcome& outcome) { outcome.error = text; });
  TakeErrorPath(std::move(text), exception);
  throw WorkerEnd{kWorkerFailed};
}

void ReportWorkProgress(int worker_index, double fraction) {
  SetWorkerProgress(worker_index, fraction);
}

void ReportWorkerFigure(int worker_index, std::string_view name, RecordValue value) {
  ChangeOutcome(worker_index, [name, &value](WorkerOutcome& outcome) {
    for (RecordFigure& figure : outcome.figures) {
      if (figure.name == name) {
        figure.value = std::move(value);
        return;
      }
    }
    outcome.figures.push_back({std::string(name), std::move(value)});
  });
}

void ClearWorkerOutcomes() {
  std::lock_guard<std::mutex> lock(g_outcomes_mutex);
  g_outcomes.fill(WorkerOutcome());
}

WorkerOutcome TakeWorkerOutcome(int worker_index) {
  WorkerOutcome taken;
  ChangeOutcome(worker_index, [&taken](WorkerOutcome& outcome) {
    taken = std::exchange(outcome, WorkerOutcome());
  });
  return taken;
}

void StopIfRequested() {
  if (platform::StopRequested()) throw WorkerEnd{kWorkerStopped};
}

}  // namespace forgeval
