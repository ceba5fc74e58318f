#include "stress/matrix_test.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <string>

#include "report/failure_flag.h"
#include "stress/worker_frame.h"
#include "worker_console.h"

namespace forgeval {
namespace {

// The matrix test's frame has the catch-all clause.
class MatrixWorkerTest : public testing::WorkerConsoleTest {
 protected:
  uint32_t Run(WorkerBody body, int index) {
    return WorkerConsoleTest::Run(body, index, CatchClauses::kWithCatchAll);
  }
};

// Order 9 keeps the determinants to milliseconds; the program's order 12 runs end to end.
constexpr uint32_t kOrder = 9;

IntMatrix g_m1;
IntMatrix g_m2;
void Keep(IntMatrix& m1, IntMatrix& m2) {
  g_m1 = m1;
  g_m2 = m2;
}
void KeepResults(int index) { RunMatrixTest(index, kOrder, &Keep); }

TEST_F(MatrixWorkerTest, BothRoutesAgreeAndTheThreeLinesAreShown) {
  EXPECT_EQ(Run(&KeepResults, 5), kWorkerCompleted);
  EXPECT_EQ(console_,
            "Thread 5 : Starting Complex Matrix test...\n"
            "Thread 5 : Verifying Complex Matrix...\n"
            "Thread 5 : Verifying Complex Matrix...[Done]\n");
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_EQ(g_m1, g_m2);
  EXPECT_EQ(g_m1.rows(), kOrder);
  // The routes really changed the matrix and stored a determinant in element (0, 0).
  EXPECT_NE(g_m1.at(3, 4), 7);
}

void PlantAt2And8(IntMatrix&, IntMatrix& m2) { m2.at(2, 8) ^= int64_t{1} << 40; }
void PlantedDifference(int index) { RunMatrixTest(index, kOrder, &PlantAt2And8); }

TEST_F(MatrixWorkerTest, APlantedDifferenceGivesTheCompareText) {
  EXPECT_EQ(Run(&PlantedDifference, 1), kWorkerFailed);
  EXPECT_TRUE(FailureFlagRaised());
  const IntMatrix m1 = MatrixRouteWithChains(kOrder);
  const auto low = static_cast<uint32_t>(m1.at(2, 8));
  const uint64_t planted = static_cast<uint64_t>(m1.at(2, 8)) ^ (uint64_t{1} << 40);
  EXPECT_EQ(console_,
            "Thread 1 : Starting Complex Matrix test...\n"
            "Thread 1 : Verifying Complex Matrix...\n"
            "[*** ERROR Thread 1 : Matrices are inconsistent( Marix1 = " +
                std::to_string(low) + ", Matrix2 = " + std::to_string(planted) +
                ", At [2][8]) ***]\n");
}

void Throwing(IntMatrix&, IntMatrix&) { throw 42; }
void UnexpectedException(int index) { RunMatrixTest(index, kOrder, &Throwing); }

TEST_F(MatrixWorkerTest, AnyOtherExceptionIsAnUnexpectedError) {
  EXPECT_EQ(Run(&UnexpectedException, 0), kWorkerFailed);
  EXPECT_TRUE(console_.ends_with("Error: An unexpected error occured\n")) << console_;
}

TEST(MatrixTextTest, FirstValueIsItsLow32BitsAndTheSecondInFullUnsigned) {
  EXPECT_EQ(MatrixInconsistencyText(3, -1, -1, 11, 0),
            "[*** ERROR Thread 3 : Matrices are inconsistent( Marix1 = 4294967295, Matrix2 = "
            "18446744073709551615, At [11][0]) ***]");
}

TEST(MatrixRouteTest, TwoRunsGiveTheSameFinalMatrices) {
  for (uint32_t order : {2u, 3u, 5u, kOrder}) {
    const IntMatrix first = MatrixRouteWithChains(order);
    EXPECT_EQ(first, MatrixRouteWithChains(order)) << order;
    EXPECT_EQ(first, MatrixRouteWithoutChains(order)) << order;
  }
}

// The program's own size: two 12 x 12 determinants per route, seconds each.
TEST(MatrixSoakTest, TwoRunsAtTheTestsOrderGiveTheSameFinalMatrices) {
  const IntMatrix first = MatrixRouteWithChains();
  EXPECT_EQ(first, MatrixRouteWithChains());
  EXPECT_EQ(first, MatrixRouteWithoutChains());
}

}  // namespace
}  // namespace forgeval
