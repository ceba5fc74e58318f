#include "stress/sort_test.h"

#include <gtest/gtest.h>

#include <string>

#include "report/failure_flag.h"
#include "stress/worker_frame.h"
#include "worker_console.h"

namespace forgeval {
namespace {

const std::string kAllSteps =
    "Starting Quick Sort test...\n"
    "Starting Quick Sort test...[Done]\n"
    "Starting Shell Sort test...\n"
    "Starting Shell Sort test...[Done]\n"
    "Starting Merge Sort test...\n"
    "Starting Merge Sort test...[Done]\n"
    "Starting Heap Sort test...\n"
    "Starting Heap Sort test...[Done]\n";

// The console lines of one worker, each with its "Thread N : " prefix.
std::string Lines(int index, const std::string& steps) {
  std::string lines;
  const std::string prefix = "Thread " + std::to_string(index) + " : ";
  size_t start = 0;
  while (start < steps.size()) {
    const size_t end = steps.find('\n', start);
    lines += prefix + steps.substr(start, end + 1 - start);
    start = end + 1;
  }
  return lines;
}

using SortWorkerTest = testing::WorkerConsoleTest;

int g_iterations[4];
void Count(SortKind kind, int, int64_t*, int64_t*, int64_t) {
  ++g_iterations[static_cast<int>(kind)];
}
void SmallArray(int index) { RunSortTest(index, 5000, &Count); }

TEST_F(SortWorkerTest, FourSortsOfFifteenIterationsPass) {
  for (int& count : g_iterations) count = 0;
  EXPECT_EQ(Run(&SmallArray, 3), kWorkerCompleted);
  EXPECT_EQ(console_, Lines(3, kAllSteps));
  for (int count : g_iterations) EXPECT_EQ(count, kSortIterations);
  EXPECT_FALSE(FailureFlagRaised());
}

void NoElements(int index) { RunSortTest(index, 0); }
void OneElement(int index) { RunSortTest(index, 1); }

TEST_F(SortWorkerTest, EmptyAndSingleElementArraysPass) {
  EXPECT_EQ(Run(&NoElements, 0), kWorkerCompleted);
  EXPECT_EQ(console_, Lines(0, kAllSteps));
  EXPECT_EQ(Run(&OneElement, 0), kWorkerCompleted);
  EXPECT_EQ(console_, Lines(0, kAllSteps));
}

int64_t g_value1 = 0;
int64_t g_value2 = 0;
// Plants a difference at position 5 in the first Merge Sort iteration.
void PlantInMerge(SortKind kind, int iteration, int64_t* a, int64_t* b, int64_t) {
  if (kind != SortKind::kMerge || iteration != 0) return;
  b[5] ^= 0x0000000100010001;
  g_value1 = a[5];
  g_value2 = b[5];
}
void PlantedDifference(int index) { RunSortTest(index, 1000, &PlantInMerge); }

TEST_F(SortWorkerTest, ADifferenceInTheMergePhaseIsReportedAndHeapSortNeverStarts) {
  EXPECT_EQ(Run(&PlantedDifference, 2), kWorkerFailed);
  EXPECT_TRUE(FailureFlagRaised());
  // "%d" shows the low 32 bits of each element as a signed number.
  const std::string expected_error =
      "[*** ERROR Thread 2 : Merge Sort results are inconsistent( Value1 = " +
      std::to_string(static_cast<int32_t>(g_value1 & 0xFFFFFFFF)) +
      ", Value2 = " + std::to_string(static_cast<int32_t>(g_value2 & 0xFFFFFFFF)) +
      ", at 5) ***]\n";
  EXPECT_EQ(console_, Lines(2,
                            "Starting Quick Sort test...\n"
                            "Starting Quick Sort test...[Done]\n"
                            "Starting Shell Sort test...\n"
                            "Starting Shell Sort test...[Done]\n"
                            "Starting Merge Sort test...\n") +
                          expected_error);
  EXPECT_EQ(console_.find("Heap"), std::string::npos);
}

// A difference in the upper 32 bits only: both values show the same low word.
void PlantHigh(SortKind kind, int, int64_t* a, int64_t* b, int64_t) {
  if (kind == SortKind::kHeap) {
    b[7] = a[7] + (int64_t{1} << 32);
    g_value1 = a[7];
  }
}
void HighDifference(int index) { RunSortTest(index, 100, &PlantHigh); }

TEST_F(SortWorkerTest, ValuesAreShownAsTheirLow32Bits) {
  EXPECT_EQ(Run(&HighDifference, 0), kWorkerFailed);
  const std::string low = std::to_string(static_cast<int32_t>(g_value1 & 0xFFFFFFFF));
  EXPECT_TRUE(
      console_.ends_with("[*** ERROR Thread 0 : Heaps Sort results are inconsistent( "
                         "Value1 = " +
                         low + ", Value2 = " + low + ", at 7) ***]\n"))
      << console_;
}

TEST(SortTextTest, PositionIsShownInFull) {
  EXPECT_EQ(SortInconsistencyText(1, SortKind::kQuick, -1, int64_t{1} << 31, int64_t{1} << 40),
            "[*** ERROR Thread 1 : Quick Sort results are inconsistent( Value1 = -1, Value2 = "
            "-2147483648, at 1099511627776) ***]");
  EXPECT_EQ(SortInconsistencyText(0, SortKind::kShell, 5, 6, 0),
            "[*** ERROR Thread 0 : Shell Sort results are inconsistent( Value1 = 5, Value2 = 6, "
            "at 0) ***]");
}

void TooLarge(int index) { RunSortTest(index, 3000000000u); }

TEST_F(SortWorkerTest, ASizeBeyondASigned32BitCountIsAnError) {
  EXPECT_EQ(Run(&TooLarge, 1), kWorkerFailed);
  EXPECT_TRUE(FailureFlagRaised());
  EXPECT_EQ(console_,
            "Thread 1 : Starting Quick Sort test...\n"
            "[*** ERROR Thread 1 : Sort ArraySize 3000000000 is out of range (0 to "
            "2147483647) ***]\n");
}

}  // namespace
}  // namespace forgeval
