#include "stress/worker_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <new>
#include <stdexcept>

#include "faults.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

class WorkerFrameTest : public testing::WorkerHarness {
 protected:
  uint32_t Run(WorkerBody body, CatchClauses clauses = CatchClauses::kStandard, int index = 0) {
    return RunCaptured([=] { return RunTestWorker(index, body, clauses); });
  }
};

// A progress line lost or sent elsewhere: the console, then the log, and nothing else.
TEST_F(WorkerFrameTest, ProgressStepsGoToConsoleAndLog) {
  const auto progress = [](int index) {
    ReportProgress(index, "Testing %s...", "DRAM Arrays");
    ReportProgress(index, "Testing %s...[Done]", "DRAM Arrays");
  };
  EXPECT_EQ(Run(progress, CatchClauses::kStandard, 3), kWorkerCompleted);
  EXPECT_EQ(console_,
            "Thread 3 : Testing DRAM Arrays...\nThread 3 : Testing DRAM Arrays...[Done]\n");
  EXPECT_EQ(LogLines(), ConsoleLines());
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_TRUE(listener_.Drain(0).empty());
}

bool g_ran_after_error = false;

std::string Exception(const char* name, const char* code, const char* site = nullptr) {
  char address[16] = "0x[0-9a-f]{8}";
  if (site != nullptr) snprintf(address, sizeof address, "0x%.8x", testing::Low32(site));
  return std::string("Exception ") + name + " \\(" + code + "\\) at address " + address + "\\.";
}

// Every way into the error path, real processor faults included: the exact text on the
// console, in the log and in the system log, the failure flag raised, the worker ended at once
// with the failure code. A fault inside the run log's lock must not leave the lock held.
TEST_F(WorkerFrameTest, EveryErrorTakesTheWholeErrorPath) {
  struct Case {
    WorkerBody body;
    std::string text, console_before = "";
    CatchClauses clauses = CatchClauses::kStandard;
  };
  const Case cases[] = {
      {[](int index) {
         ReportProgress(index, "Faulting...");
         FaultNullRead();
         ReportProgress(index, "Faulting...[Done]");
       },
       Exception("ACCESS_VIOLATION", "0xc0000005", FaultNullReadSite), "Thread 0 : Faulting...\n"},
      {[](int) { FaultWrite(testing::ReadOnlyPage()); },
       Exception("ACCESS_VIOLATION", "0xc0000005", FaultWriteSite)},
      {[](int) { FaultDivideByZero(); },
       Exception("INT_DIVIDE_BY_ZERO", "0xc0000094", FaultDivideByZeroSite)},
      {[](int) { FaultIllegalInstruction(); },
       Exception("ILLEGAL_INSTRUCTION", "0xc000001d", FaultIllegalInstructionSite)},
      {[](int) { testing::OverflowStack(); }, Exception("STACK_OVERFLOW", "0xc00000fd")},
      {[](int) {  // more than any machine has, refused as the program's allocations are
         void* huge = malloc(size_t{1} << 52);
         if (huge == nullptr) throw std::bad_alloc();
         free(huge);
       },
       "Out of memory\\."},
      {[](int) { throw std::runtime_error("other"); }, "Error: An unexpected error occured", "",
       CatchClauses::kWithCatchAll},
      // A failed check passes the catch-all without a second error; '%' stays as written.
      {[](int index) {
         ReportProgress(index, "Checking...");
         ReportTestError("[***ERROR Thread 0 : 100% mismatch at %p ***]");
         g_ran_after_error = true;
       },
       testing::Escaped("[***ERROR Thread 0 : 100% mismatch at %p ***]"),
       "Thread 0 : Checking...\n", CatchClauses::kWithCatchAll},
      {[](int index) { LogThreadMessage(index, "%s", reinterpret_cast<const char*>(16)); },
       Exception("ACCESS_VIOLATION", "0xc0000005")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ClearFailureFlag();
    EXPECT_EQ(Run(c.body, c.clauses), kWorkerFailed);
    EXPECT_TRUE(testing::FullMatch(console_, c.console_before + c.text + "\n")) << console_;
    ExpectErrorReported(c.text);
  }
  EXPECT_FALSE(g_ran_after_error);
  EXPECT_EQ(Run([](int index) { ReportProgress(index, "After"); }), kWorkerCompleted);
  EXPECT_EQ(LogLines().back(), "Thread 0 : After");
}

std::barrier<>* g_start_together = nullptr;

// Two workers failing at the same moment (ThreadSanitizer watches): each error whole, once,
// on the console, in the log and in the system log.
TEST_F(WorkerFrameTest, TwoWorkersFailingAtOnceEachReportWhole) {
  WriteConfig("[Memory]\nCPU=0,0\n");
  std::barrier<> start(2);
  g_start_together = &start;
  const auto fail_together = [](uintptr_t argument) {
    return RunTestWorker(
        static_cast<int>(argument),
        [](int index) {
          g_start_together->arrive_and_wait();
          ReportTestError("[***ERROR Thread " + std::to_string(index) + " : failed together ***]");
        },
        CatchClauses::kStandard);
  };
  Dispatch({"Memory", "[***ERROR: Memory Test : ", fail_together, WorkerList::kPerProcessor});
  std::vector<std::string> lines = ConsoleLines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"[***ERROR Thread 0 : failed together ***]",
                                             "[***ERROR Thread 1 : failed together ***]"}));
  for (const std::string& line : lines) EXPECT_NE(Log().find(" : " + line + "\n"), Log().npos);
  std::vector<std::string> datagrams = listener_.Drain(1000), more;
  while (datagrams.size() < 2 && !(more = listener_.Drain(1000)).empty()) {
    datagrams.insert(datagrams.end(), more.begin(), more.end());
  }
  ASSERT_EQ(datagrams.size(), 2u);
  EXPECT_NE(datagrams[0], datagrams[1]);
  EXPECT_TRUE(FailureFlagRaised());
}

}  // namespace
}  // namespace forgeval
