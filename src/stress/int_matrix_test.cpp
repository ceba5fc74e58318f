#include "stress/int_matrix.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <utility>

namespace forgeval {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// A matrix from rows written as they read.
IntMatrix FromRows(std::initializer_list<std::initializer_list<int64_t>> rows) {
  IntMatrix m(static_cast<uint32_t>(rows.size()), static_cast<uint32_t>(rows.begin()->size()));
  uint32_t r = 0;
  for (const auto& row : rows) {
    uint32_t c = 0;
    for (int64_t value : row) m.at(r, c++) = value;
    ++r;
  }
  return m;
}

IntMatrix Random(uint32_t n, uint64_t seed, int64_t lowest = kMin, int64_t highest = kMax) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<int64_t> pick(lowest, highest);
  IntMatrix m(n, n);
  for (uint32_t c = 0; c < n; ++c) {
    for (uint32_t r = 0; r < n; ++r) m.at(r, c) = pick(random);
  }
  return m;
}

uint64_t U(int64_t value) { return static_cast<uint64_t>(value); }
int64_t S(uint64_t value) { return static_cast<int64_t>(value); }

TEST(IntMatrixTest, ElementsAreStoredColumnByColumn) {
  IntMatrix m = FromRows({{1, 2, 3}, {4, 5, 6}});
  EXPECT_EQ(m.rows(), 2u);
  EXPECT_EQ(m.columns(), 3u);
  EXPECT_EQ(m.elements(), (std::vector<int64_t>{1, 4, 2, 5, 3, 6}));
}

TEST(IntMatrixTest, IdentityTransposeKroneckerAndProduct) {
  EXPECT_EQ(MatrixIdentity(3), FromRows({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
  EXPECT_EQ(MatrixTranspose(FromRows({{1, 2, 3}, {4, 5, 6}})), FromRows({{1, 4}, {2, 5}, {3, 6}}));
  EXPECT_EQ(MatrixKronecker(FromRows({{1, 2}}), FromRows({{0, 5}, {6, 7}})),
            FromRows({{0, 5, 0, 10}, {6, 7, 12, 14}}));
  EXPECT_EQ(MatrixMultiply(FromRows({{1, 2, 3}, {4, 5, 6}}), FromRows({{7, 8}, {9, 10}, {11, 12}})),
            FromRows({{58, 64}, {139, 154}}));
}

TEST(IntMatrixTest, ProductsAndSumsWrapModulo2To64) {
  EXPECT_EQ(MatrixMultiply(FromRows({{kMax}}), FromRows({{2}})), FromRows({{-2}}));
  EXPECT_EQ(MatrixMultiply(FromRows({{int64_t{1} << 62}}), FromRows({{4}})), FromRows({{0}}));
  EXPECT_EQ(MatrixMultiply(FromRows({{kMax, 1}}), FromRows({{1}, {1}})), FromRows({{kMin}}));
  EXPECT_EQ(MatrixKronecker(FromRows({{kMin}}), FromRows({{-1}})), FromRows({{kMin}}));
}

// Orders two and three expand directly, with the signs plus, minus, plus; every larger order
// reduces to them.
TEST(IntMatrixTest, DeterminantsOfOrdersTwoAndThreeExpandDirectly) {
  EXPECT_EQ(MatrixDeterminant(FromRows({{3, 8}, {4, 6}})), 3 * 6 - 8 * 4);
  EXPECT_EQ(MatrixDeterminant(FromRows({{kMax, 2}, {3, kMax}})), S(U(kMax) * U(kMax) - 6));
  EXPECT_EQ(MatrixDeterminant(FromRows({{2, 0, 1}, {1, 3, 2}, {1, 1, 2}})), 6);
  EXPECT_EQ(MatrixDeterminant(FromRows({{6, 1, 1}, {4, -2, 5}, {2, 8, 7}})), -306);
}

TEST(IntMatrixTest, DeterminantsWithKnownValues) {
  for (uint32_t n = 2; n <= 9; ++n) {
    EXPECT_EQ(MatrixDeterminant(MatrixIdentity(n)), 1) << n;
    // M(r, c) = r + c has rank 2.
    IntMatrix sums(n, n);
    for (uint32_t r = 0; r < n; ++r) {
      for (uint32_t c = 0; c < n; ++c) sums.at(r, c) = r + c;
    }
    EXPECT_EQ(MatrixDeterminant(sums), n == 2 ? -1 : 0) << n;
    // Triangular: the product of the diagonal, which holds modulo 2^64 as well.
    IntMatrix upper = Random(n, n);
    uint64_t product = 1;
    for (uint32_t r = 0; r < n; ++r) {
      for (uint32_t c = 0; c < r; ++c) upper.at(r, c) = 0;
      product *= U(upper.at(r, r));
    }
    EXPECT_EQ(MatrixDeterminant(upper), S(product)) << n;
    EXPECT_EQ(MatrixDeterminant(MatrixTranspose(upper)), S(product)) << n;
  }
}

TEST(IntMatrixTest, SwappingTwoRowsNegatesTheDeterminant) {
  for (uint32_t n = 3; n <= 8; ++n) {
    IntMatrix m = Random(n, 100 + n);
    IntMatrix swapped = m;
    for (uint32_t c = 0; c < n; ++c) std::swap(swapped.at(0, c), swapped.at(n - 1, c));
    EXPECT_EQ(U(MatrixDeterminant(swapped)), 0 - U(MatrixDeterminant(m))) << n;
  }
}

TEST(IntMatrixTest, IdentityChainReturnsTheMatrixUnchangedEvenAtTheLimits) {
  IntMatrix limits = FromRows({{kMin, kMax, -1}, {0, 1, kMin + 1}, {kMax - 1, kMin, kMax}});
  EXPECT_EQ(MatrixIdentityChain(limits), limits);
  for (uint32_t n : {1u, 2u, 5u, 12u}) {
    IntMatrix m = Random(n, n);
    m.at(0, 0) = kMin;
    m.at(n - 1, n - 1) = kMax;
    IntMatrix chained = MatrixIdentityChain(MatrixIdentityChain(MatrixIdentityChain(m)));
    EXPECT_EQ(chained, m) << n;
  }
}

TEST(IntMatrixTest, ScrambleElementFollowsItsFourSteps) {
  IntMatrix m = FromRows({{1, 2}, {3, 4}});
  ScrambleElement(m, 1, 1);
  // x = ~(4 & 0x5555...) = ~4 = -5; x += 1 * 1 -> -4; s = 1 + 3 + 2 - 4 = 2; x = -8.
  EXPECT_EQ(m, FromRows({{1, 2}, {3, -8}}));
  IntMatrix big = FromRows({{kMax, 0}, {0, 0}});
  ScrambleElement(big, 0, 0);
  // x = ~(kMax & 0x5555...) = ~0x5555555555555555 = 0xAAAAAAAAAAAAAAAA; s = x; x = x * x.
  const uint64_t x = 0xAAAAAAAAAAAAAAAAu;
  EXPECT_EQ(big.at(0, 0), S(x * x));
}

}  // namespace
}  // namespace forgeval
