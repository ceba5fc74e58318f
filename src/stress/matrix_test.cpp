// The complex matrix test and its integer matrix operations.
#include "stress/matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "report/failure_flag.h"
#include "worker_console.h"

namespace forgeval {
namespace {

// A matrix of `rows` rows from its elements in reading order; random ones of full range.
IntMatrix M(uint32_t rows, std::vector<int64_t> values, uint64_t seed = 0) {
  std::mt19937_64 random(seed);
  if (seed != 0) std::generate(values.begin(), values.end(), [&] { return int64_t(random()); });
  IntMatrix m(rows, static_cast<uint32_t>(values.size()) / rows);
  for (uint32_t i = 0; i < values.size(); ++i) m.at(i / m.columns(), i % m.columns()) = values[i];
  return m;
}
IntMatrix Random(uint32_t n) { return M(n, std::vector<int64_t>(n * n), n); }

// Cases worked by hand, storage column by column, wrapping arithmetic, identity chains.
TEST(IntMatrixTest, OperationsWrapModulo2To64) {
  EXPECT_EQ(M(2, {1, 2, 3, 4, 5, 6}).elements(), (std::vector<int64_t>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(MatrixTranspose(M(2, {1, 2, 3, 4, 5, 6})), M(3, {1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(MatrixKronecker(M(1, {1, 2}), M(2, {0, 5, 6, 7})), M(2, {0, 5, 0, 10, 6, 7, 12, 14}));
  EXPECT_EQ(MatrixMultiply(M(2, {1, 2, 3, 4, 5, 6}), M(3, {7, 8, 9, 10, INT64_MAX, 12})),
            M(2, {INT64_MIN + 22, 64, 67, 154}));
  for (uint32_t n : {1u, 2u, 5u, 12u}) EXPECT_EQ(MatrixIdentityChain(Random(n)), Random(n)) << n;
  IntMatrix m = M(3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  ScrambleElement(m, 1, 2);  // x = ~(6 & 0x5555...) = -5; x += 1 * 2; x *= 45 - 6 - 3
  EXPECT_EQ(m, M(3, {1, 2, 3, 4, 5, -108, 7, 8, 9}));
}

// Against the permutation sum at orders 2 to 7: a flipped sign or a wrong minor shows.
TEST(IntMatrixTest, DeterminantIsTheExactPermutationSum) {
  for (uint32_t n = 2; n <= 7; ++n) {
    const IntMatrix m = Random(n);
    std::vector<uint32_t> p(n);
    std::iota(p.begin(), p.end(), 0);
    uint64_t sum = 0;
    do {
      uint64_t product = 1;
      bool odd = false;
      for (uint32_t i = 0; i < n; ++i) {
        product *= static_cast<uint64_t>(m.at(i, p[i]));
        for (uint32_t j = i + 1; j < n; ++j) odd ^= p[j] < p[i];
      }
      sum += odd ? 0 - product : product;
    } while (std::next_permutation(p.begin(), p.end()));
    EXPECT_EQ(MatrixDeterminant(m), static_cast<int64_t>(sum)) << n;
  }
}

IntMatrix g_m1;
bool g_plant = false;
void Body(int index) {
  RunMatrixTest(index, 9, [](IntMatrix& m1, IntMatrix& m2) {
    g_m1 = m1;
    if (g_plant) m2.at(2, 8) ^= int64_t{1} << 40, m2.at(3, 0) ^= 1;  // the first in row order
  });
}

// Both routes from r + c, updates row by row, determinant at (0, 0); the first difference ends
// the worker with M1's element's low 32 bits and M2's in full, unsigned.
TEST(MatrixWorkerTest, BothRoutesGiveTheUpdatedMatrixAndAreComparedElementByElement) {
  IntMatrix want(9, 9);
  for (uint32_t i = 0; i < 81; ++i) want.at(i / 9, i % 9) = i / 9 + i % 9;
  for (uint32_t i = 0; i < 81; ++i) ScrambleElement(want, i / 9, i % 9);
  want.at(0, 0) = MatrixDeterminant(want);
  const std::string steps =
      "Thread 1 : Starting Complex Matrix test...\nThread 1 : Verifying Complex Matrix...\n";
  const auto m1 = static_cast<uint64_t>(want.at(2, 8));
  for (bool plant : {false, true}) {
    ClearFailureFlag();
    g_plant = plant;
    std::string console = testing::ConsoleOf([] {
      EXPECT_EQ(RunTestWorker(1, &Body, CatchClauses::kWithCatchAll),
                g_plant ? kWorkerFailed : kWorkerCompleted);
    });
    EXPECT_EQ(g_m1, want);
    EXPECT_EQ(FailureFlagRaised(), plant);
    EXPECT_EQ(console,
              steps + (plant ? "[*** ERROR Thread 1 : Matrices are inconsistent( Marix1 = " +
                                   std::to_string(uint32_t(m1)) + ", Matrix2 = " +
                                   std::to_string(m1 ^ (uint64_t{1} << 40)) + ", At [2][8]) ***]\n"
                             : "Thread 1 : Verifying Complex Matrix...[Done]\n"));
  }
}

}  // namespace
}  // namespace forgeval
