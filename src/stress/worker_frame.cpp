#include "stress/worker_frame.h"

#include <cstdarg>
#include <cstdio>
#include <new>

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
uint32_t RunInFrame(RunBody& run_body, CatchClauses clauses) {
  SeTranslatorScope translator;
  try {
    RunGuardedScope(run_body, clauses);
  } catch (const WorkerEnd& end) {
    return end.exit_code;
  }
  return kWorkerCompleted;
}

}  // namespace

uint32_t RunTestWorker(int worker_index, WorkerBody body, CatchClauses clauses) {
  auto run_body = [worker_index, body] { body(worker_index); };
  return RunInFrame(run_body, clauses);
}

uint32_t RunTestWorker(int worker_index, uintptr_t argument, WorkerBodyWithArgument body,
                       CatchClauses clauses) {
  auto run_body = [worker_index, argument, body] { body(worker_index, argument); };
  return RunInFrame(run_body, clauses);
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
  TakeErrorPath(std::move(text), exception);
  throw WorkerEnd{kWorkerFailed};
}

void ReportWorkProgress(int worker_index, double fraction) {
  SetWorkerProgress(worker_index, fraction);
}

void StopIfInterrupted() {
  if (platform::InterruptRequested()) throw WorkerEnd{kWorkerInterrupted};
}

}  // namespace forgeval
