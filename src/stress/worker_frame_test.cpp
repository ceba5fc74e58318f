#include "stress/worker_frame.h"

#include <gtest/gtest.h>

#include <barrier>
#include <new>
#include <stdexcept>

#include "faults.h"
#include "report/failure_flag.h"
#include "run/worker_dispatch.h"
#include "text_match.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

// A frame with a log, a system log listener and a configuration of its own.
class WorkerFrameTest : public testing::WorkerHarness {
 protected:
  // Runs one worker in this thread and returns its exit code; the console goes to console_.
  uint32_t Run(WorkerBody body, CatchClauses clauses = CatchClauses::kStandard, int index = 0) {
    return RunCaptured([=] { return RunTestWorker(index, body, clauses); });
  }
};

void Progress(int index) {
  ReportProgress(index, "Testing %s...", "DRAM Arrays");
  ReportProgress(index, "Testing %s...[Done]", "DRAM Arrays");
}

TEST_F(WorkerFrameTest, ProgressStepsGoToConsoleAndLog) {
  EXPECT_EQ(Run(&Progress, CatchClauses::kStandard, 3), kWorkerCompleted);
  EXPECT_EQ(console_,
            "Thread 3 : Testing DRAM Arrays...\nThread 3 : Testing DRAM Arrays...[Done]\n");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Thread 3 : Testing DRAM Arrays...",
                                                  "Thread 3 : Testing DRAM Arrays...[Done]"}));
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_TRUE(listener_.Drain(0).empty());
}

void NullRead(int index) {
  ReportProgress(index, "Faulting...");
  FaultNullRead();
  ReportProgress(index, "Faulting...[Done]");
}
void WriteReadOnly(int) { FaultWrite(testing::ReadOnlyPage()); }
void DivideByZero(int) { FaultDivideByZero(); }
void IllegalInstruction(int) { FaultIllegalInstruction(); }
void OverflowStack(int) { testing::OverflowStack(); }

TEST_F(WorkerFrameTest, ProcessorFaultsTakeTheErrorPathExactly) {
  struct Case {
    WorkerBody body;
    const char* name;
    const char* code;
    const char* site;  // null when the address is not fixed
  };
  const Case cases[] = {
      {&NullRead, "ACCESS_VIOLATION", "0xc0000005", FaultNullReadSite},
      {&WriteReadOnly, "ACCESS_VIOLATION", "0xc0000005", FaultWriteSite},
      {&DivideByZero, "INT_DIVIDE_BY_ZERO", "0xc0000094", FaultDivideByZeroSite},
      {&IllegalInstruction, "ILLEGAL_INSTRUCTION", "0xc000001d", FaultIllegalInstructionSite},
      {&OverflowStack, "STACK_OVERFLOW", "0xc00000fd", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearFailureFlag();
    const size_t lines_before = LogLines().size();
    EXPECT_EQ(Run(c.body), kWorkerFailed);
    std::string address = R"(0x[0-9a-f]{8})";
    if (c.site != nullptr) {
      char exact[16];
      snprintf(exact, sizeof exact, "0x%.8x", testing::Low32(c.site));
      address = exact;
    }
    const std::string text =
        std::string("Exception ") + c.name + " \\(" + c.code + "\\) at address " + address + "\\.";
    // The console: the body's own lines, then the error text; no "[Done]" after it.
    EXPECT_TRUE(testing::FullMatch(console_, "(Thread 0 : Faulting...\n)?" + text + "\n"))
        << console_;
    ASSERT_GT(LogLines().size(), lines_before);
    ExpectErrorReported(text);
  }
}

void AllocationFails(int) {
  // More than any machine has: the allocator refuses it, and the body throws as the
  // program's allocation functions do.
  void* huge = malloc(size_t{1} << 52);
  if (huge == nullptr) throw std::bad_alloc();
  free(huge);
}

TEST_F(WorkerFrameTest, AllocationFailureIsOutOfMemory) {
  EXPECT_EQ(Run(&AllocationFails), kWorkerFailed);
  EXPECT_EQ(console_, "Out of memory.\n");
  EXPECT_EQ(LogLines().back(), "Out of memory.");
  EXPECT_TRUE(listener_.Drain(1000).at(0).ends_with(": Out of memory.\n"));
}

void ThrowsUnexpected(int) { throw std::runtime_error("something else"); }

TEST_F(WorkerFrameTest, MatrixCatchAllTakesAnyOtherException) {
  EXPECT_EQ(Run(&ThrowsUnexpected, CatchClauses::kWithCatchAll), kWorkerFailed);
  EXPECT_EQ(console_, "Error: An unexpected error occured\n");
}

bool g_ran_after_error = false;
void FailedCheck(int index) {
  ReportProgress(index, "Checking...");
  char text[128];
  snprintf(text, sizeof text, "[***ERROR Thread %d : 100%% mismatch at %s ***]", index, "%p");
  ReportTestError(text);
  g_ran_after_error = true;
}

TEST_F(WorkerFrameTest, FailedCheckEndsTheWorkerPastTheCatchAll) {
  g_ran_after_error = false;
  EXPECT_EQ(Run(&FailedCheck, CatchClauses::kWithCatchAll, 4), kWorkerFailed);
  EXPECT_FALSE(g_ran_after_error);
  // One error, not a second "unexpected error" from the catch-all; '%' kept as written.
  EXPECT_EQ(console_, "Thread 4 : Checking...\n[***ERROR Thread 4 : 100% mismatch at %p ***]\n");
  EXPECT_EQ(LogLines().back(), "[***ERROR Thread 4 : 100% mismatch at %p ***]");
  EXPECT_EQ(listener_.Drain(1000).size(), 1u);
}

void FaultsInsideTheLogLock(int index) {
  // A bad pointer for "%s" faults inside the run log while its lock is held.
  LogThreadMessage(index, "%s", reinterpret_cast<const char*>(16));
}

TEST_F(WorkerFrameTest, FaultWhileHoldingTheLogLockDoesNotHang) {
  EXPECT_EQ(Run(&FaultsInsideTheLogLock), kWorkerFailed);
  EXPECT_TRUE(
      testing::FullMatch(LogLines().back(), R"(Exception ACCESS_VIOLATION \(0xc0000005\).*)"));
  EXPECT_EQ(Run(&Progress), kWorkerCompleted);
  EXPECT_EQ(LogLines().back(), "Thread 0 : Testing DRAM Arrays...[Done]");
}

std::barrier<>* g_start_together = nullptr;
uint32_t FailingTogether(uintptr_t argument) {
  return RunTestWorker(
      static_cast<int>(argument),
      [](int index) {
        g_start_together->arrive_and_wait();
        char text[64];
        snprintf(text, sizeof text, "[***ERROR Thread %d : failed together ***]", index);
        ReportTestError(text);
      },
      CatchClauses::kStandard);
}

TEST_F(WorkerFrameTest, TwoWorkersFailingAtOnceEachReportWhole) {
  testing::WriteFile(dir_.File("forgeval.ini"), "[Memory]\nCPU=0,0\n");
  std::barrier<> start(2);
  g_start_together = &start;
  const TestEntry test{"Memory", "[***ERROR: Memory Test : ", &FailingTogether,
                       WorkerList::kPerProcessor};
  Dispatch(test);
  const std::string& console = console_;
  for (int index : {0, 1}) {
    const std::string text =
        "[***ERROR Thread " + std::to_string(index) + " : failed together ***]";
    EXPECT_NE(console.find(text + "\n"), std::string::npos) << console;
    EXPECT_NE(Log().find(" : " + text + "\n"), std::string::npos);
  }
  EXPECT_EQ(console.size(), 2 * std::string("[***ERROR Thread 0 : failed together ***]\n").size());
  std::vector<std::string> datagrams = listener_.Drain(1000);
  while (datagrams.size() < 2) {
    std::vector<std::string> more = listener_.Drain(1000);
    if (more.empty()) break;
    datagrams.insert(datagrams.end(), more.begin(), more.end());
  }
  ASSERT_EQ(datagrams.size(), 2u);
  EXPECT_NE(datagrams[0], datagrams[1]);
  EXPECT_TRUE(FailureFlagRaised());
}

}  // namespace
}  // namespace forgeval
