// Runs one test worker body in the calling thread, inside the real worker frame, and collects
// what it printed: for unit tests of the test bodies, which report through the frame.
#ifndef FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_
#define FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "report/failure_flag.h"
#include "stress/worker_frame.h"

namespace forgeval::testing {

// What `run` printed on the standard output.
inline std::string ConsoleOf(const std::function<void()>& run) {
  ::testing::internal::CaptureStdout();
  run();
  fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// Run starts from a clear failure flag, returns the worker's exit code and keeps its console.
class WorkerConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearFailureFlag(); }
  uint32_t Run(WorkerBody body, int index, CatchClauses clauses = CatchClauses::kStandard) {
    uint32_t exit_code = 0;
    console_ = ConsoleOf([&] { exit_code = RunTestWorker(index, body, clauses); });
    return exit_code;
  }
  std::string console_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_
