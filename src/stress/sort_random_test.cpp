#include "stress/sort_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace forgeval {
namespace {

TEST(NextRandomTest, FirstValuesFromOneAreTheMinimalStandardGenerators) {
  int64_t state = 1;
  EXPECT_EQ(NextRandom(state), 48271);
  EXPECT_EQ(state, 48271);
  // std::minstd_rand is the same generator (multiplier 48271, modulus 2^31 - 1, seed 1).
  std::minstd_rand reference(1);
  state = 1;
  for (int i = 0; i < 100000; ++i) {
    ASSERT_EQ(NextRandom(state), static_cast<int64_t>(reference())) << i;
  }
}

TEST(NextRandomTest, EqualsTheDirectRemainderAcrossTheWholeRange) {
  std::vector<int64_t> states = {
      1, 2, 44487, 44488, 44489, 127773, kRandomModulus - 2, kRandomModulus - 1};
  std::mt19937_64 random(7);
  for (int i = 0; i < 100000; ++i) {
    states.push_back(static_cast<int64_t>(random() % (kRandomModulus - 1)) + 1);
  }
  for (int64_t start : states) {
    int64_t state = start;
    ASSERT_EQ(NextRandom(state), start * kRandomMultiplier % kRandomModulus) << start;
  }
}

TEST(FillTest, BothArraysGetTheSameNegativeSequenceEveryTime) {
  constexpr int64_t kCount = 50000;
  std::vector<int64_t> a(kCount), b(kCount), again_a(kCount), again_b(kCount);
  FillSortArrays(a.data(), b.data(), kCount);
  FillSortArrays(again_a.data(), again_b.data(), kCount);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, again_a);
  std::minstd_rand reference(1);
  for (int64_t m = 0; m < kCount; ++m) {
    const auto value = static_cast<int64_t>(reference());
    ASSERT_EQ(a[static_cast<size_t>(m)], SortElementOf(value));
    ASSERT_LT(a[static_cast<size_t>(m)], 0);
  }
}

TEST(FillTest, ElementIsTheValueTimesMinusTwoToThe63OverTheModulus) {
  for (int64_t value : {int64_t{1}, int64_t{48271}, int64_t{1000000}, kRandomModulus - 1}) {
    const long double exact = -static_cast<long double>(value) * 9223372036854775808.0L /
                              static_cast<long double>(kRandomModulus);
    // Two double roundings: within a few units of the exact product's 53-bit precision.
    const long double error = std::fabs(static_cast<long double>(SortElementOf(value)) - exact);
    EXPECT_LE(static_cast<double>(error), static_cast<double>(std::fabs(exact) * 1e-15L + 1.0L))
        << value;
  }
  EXPECT_LT(SortElementOf(kRandomModulus - 1), -(int64_t{1} << 62));
}

// The shuffle's exchange positions, worked out from the reference generator.
std::vector<int64_t> ReferenceShuffle(std::vector<int64_t> a) {
  std::minstd_rand reference(1);
  for (size_t i = 1; i < a.size(); ++i) {
    const double value = static_cast<double>(reference());
    const auto j = static_cast<size_t>(value / (2147483647.0 / static_cast<double>(i + 1)));
    std::swap(a[i], a[j]);
  }
  return a;
}

TEST(ShuffleTest, ExchangesWithTheGeneratorsQuotientAndKeepsEveryElement) {
  std::vector<int64_t> a(10000);
  std::iota(a.begin(), a.end(), -5000);
  const std::vector<int64_t> original = a;
  SharedRandom random;
  ShuffleArray(a.data(), static_cast<int64_t>(a.size()), random);
  EXPECT_EQ(a, ReferenceShuffle(original));
  EXPECT_NE(a, original);
  std::vector<int64_t> sorted = a;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, original);
}

TEST(ShuffleTest, FewerThanTwoElementsTakeNoStep) {
  SharedRandom random;
  int64_t one = 42;
  ShuffleArray(&one, 1, random);
  ShuffleArray(nullptr, 0, random);
  EXPECT_EQ(one, 42);
  EXPECT_EQ(random.Next(), 48271) << "the generator did not advance";
}

TEST(ShuffleTest, TheProcessGeneratorCarriesOverBetweenShuffles) {
  std::vector<int64_t> first(1000), second(1000);
  std::iota(first.begin(), first.end(), 0);
  std::iota(second.begin(), second.end(), 0);
  ShuffleArray(first.data(), 1000);
  ShuffleArray(second.data(), 1000);
  EXPECT_NE(first, second);
}

// Two workers shuffle at the same time with one generator: no step is lost (each is one
// atomic read-modify-write) and every array stays a permutation.
TEST(ShuffleTest, TwoWorkersShareTheGeneratorWithoutLosingSteps) {
  constexpr int64_t kCount = 200000;
  SharedRandom random;
  std::vector<int64_t> arrays[2];
  for (auto& array : arrays) {
    array.resize(kCount);
    std::iota(array.begin(), array.end(), 0);
  }
  std::thread workers[2];
  for (int w = 0; w < 2; ++w) {
    workers[w] =
        std::thread([&random, &array = arrays[w]] { ShuffleArray(array.data(), kCount, random); });
  }
  for (std::thread& worker : workers) worker.join();
  std::minstd_rand reference(1);
  reference.discard(2 * (kCount - 1));
  EXPECT_EQ(random.Next(), static_cast<int64_t>(reference()));
  for (auto& array : arrays) {
    std::sort(array.begin(), array.end());
    for (int64_t i = 0; i < kCount; ++i) ASSERT_EQ(array[static_cast<size_t>(i)], i);
  }
}

}  // namespace
}  // namespace forgeval
