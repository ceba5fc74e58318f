// Runs one test worker body in the calling thread, inside the real worker frame, and collects
// what it printed: for unit tests of the test bodies, which report through the frame.
#ifndef FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_
#define FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "report/failure_flag.h"
#include "stress/worker_frame.h"

namespace forgeval::testing {

// A fixture whose Run starts from a clear failure flag and keeps the console of the run.
class WorkerConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearFailureFlag(); }

  // The worker's exit code; its standard output goes to console_.
  uint32_t Run(WorkerBody body, int index, CatchClauses clauses = CatchClauses::kStandard) {
    ::testing::internal::CaptureStdout();
    const uint32_t exit_code = RunTestWorker(index, body, clauses);
    fflush(stdout);
    console_ = ::testing::internal::GetCapturedStdout();
    return exit_code;
  }

  std::string console_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_WORKER_CONSOLE_H_
