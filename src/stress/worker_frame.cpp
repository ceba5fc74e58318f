#include "stress/worker_frame.h"

#include <array>
#include <chrono>
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

// One outcome slot per worker index of a test.
struct OutcomeSlots {
  std::mutex mutex;
  std::array<WorkerOutcome, kWorkerOutcomeSlots> slots;

  // The slot of `worker_index`, or null for an index no dispatch gives; lock held.
  WorkerOutcome* Find(int worker_index) {
    if (worker_index < 0 || static_cast<size_t>(worker_index) >= slots.size()) return nullptr;
    return &slots[static_cast<size_t>(worker_index)];
  }
};

OutcomeSlots& Outcomes() {
  static OutcomeSlots outcomes;
  return outcomes;
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

void RecordFrameSeconds(int worker_index, std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  OutcomeSlots& outcomes = Outcomes();
  std::lock_guard<std::mutex> lock(outcomes.mutex);
  if (WorkerOutcome* outcome = outcomes.Find(worker_index)) outcome->seconds = seconds;
}

template <typename RunBody>
uint32_t RunInFrame(int worker_index, RunBody& run_body, CatchClauses clauses) {
  const auto start = std::chrono::steady_clock::now();
  t_worker_index = worker_index;
  SeTranslatorScope translator;
  uint32_t exit_code = kWorkerCompleted;
  try {
    RunGuardedScope(run_body, clauses);
  } catch (const WorkerEnd& end) {
    exit_code = end.exit_code;
  }
  RecordFrameSeconds(worker_index, start);
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
  {
    OutcomeSlots& outcomes = Outcomes();
    std::lock_guard<std::mutex> lock(outcomes.mutex);
    if (WorkerOutcome* outcome = outcomes.Find(t_worker_index)) outcome->error = text;
  }
  TakeErrorPath(std::move(text), exception);
  throw WorkerEnd{kWorkerFailed};
}

void ReportWorkProgress(int worker_index, double fraction) {
  SetWorkerProgress(worker_index, fraction);
}

void ReportWorkerFigure(int worker_index, std::string_view name, RecordValue value) {
  OutcomeSlots& outcomes = Outcomes();
  std::lock_guard<std::mutex> lock(outcomes.mutex);
  WorkerOutcome* outcome = outcomes.Find(worker_index);
  if (outcome == nullptr) return;
  for (RecordFigure& figure : outcome->figures) {
    if (figure.name == name) {
      figure.value = std::move(value);
      return;
    }
  }
  outcome->figures.push_back({std::string(name), std::move(value)});
}

void ClearWorkerOutcomes() {
  OutcomeSlots& outcomes = Outcomes();
  std::lock_guard<std::mutex> lock(outcomes.mutex);
  outcomes.slots.fill(WorkerOutcome());
}

WorkerOutcome TakeWorkerOutcome(int worker_index) {
  OutcomeSlots& outcomes = Outcomes();
  std::lock_guard<std::mutex> lock(outcomes.mutex);
  WorkerOutcome* outcome = outcomes.Find(worker_index);
  return outcome != nullptr ? std::exchange(*outcome, WorkerOutcome()) : WorkerOutcome();
}

void StopIfInterrupted() {
  if (platform::InterruptRequested()) throw WorkerEnd{kWorkerInterrupted};
}

}  // namespace forgeval
