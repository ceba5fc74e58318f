#include "stress/sort_algorithms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace forgeval {
namespace {

using Elements = std::vector<int64_t>;

struct NamedSort {
  const char* name;
  void (*sort)(int64_t* a, int64_t n);
};

const NamedSort kSorts[] = {
    {"Quick", [](int64_t* a, int64_t n) { QuickSort(a, 0, n - 1); }},
    {"Shell", &ShellSort},
    {"Merge", &MergeSort},
    {"Heap", &HeapSort},
};

void ExpectSortsLikeStdSort(const Elements& input, const std::string& what) {
  Elements want = input;
  std::sort(want.begin(), want.end());
  for (const NamedSort& sort : kSorts) {
    Elements a = input;
    sort.sort(a.data(), static_cast<int64_t>(a.size()));
    ASSERT_EQ(a, want) << sort.name << " Sort of " << what << ", n = " << input.size();
  }
}

Elements Random(size_t n, uint64_t seed, int64_t lowest, int64_t highest) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<int64_t> pick(lowest, highest);
  Elements a(n);
  for (int64_t& value : a) value = pick(random);
  return a;
}

// The sizes where the quick sort's insertion threshold and the merge's recursion change.
const size_t kSmallSizes[] = {0, 1, 2, 3, 9, 10, 11, 12, 13, 20, 21, 22, 31, 32, 33, 100};

TEST(SortAlgorithmsTest, RandomInputs) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (size_t n : kSmallSizes) ExpectSortsLikeStdSort(Random(n, n, kMin, kMax), "random");
  for (size_t n : {1000u, 4097u, 100000u}) {
    ExpectSortsLikeStdSort(Random(n, n, kMin, kMax), "random");
  }
}

TEST(SortAlgorithmsTest, SortedReversedAndAllEqualInputs) {
  for (size_t n : kSmallSizes) {
    Elements sorted = Random(n, n + 1, -1000000, 1000000);
    std::sort(sorted.begin(), sorted.end());
    ExpectSortsLikeStdSort(sorted, "sorted");
    ExpectSortsLikeStdSort(Elements(sorted.rbegin(), sorted.rend()), "reversed");
    ExpectSortsLikeStdSort(Elements(n, -7), "all equal");
  }
  Elements big = Random(50000, 3, -1000000000, 1000000000);
  std::sort(big.begin(), big.end());
  ExpectSortsLikeStdSort(big, "sorted");
  ExpectSortsLikeStdSort(Elements(big.rbegin(), big.rend()), "reversed");
  ExpectSortsLikeStdSort(Elements(50000, 0), "all equal");
}

TEST(SortAlgorithmsTest, ManyEqualElementsAndExtremes) {
  for (size_t n : {12u, 101u, 30000u}) {
    ExpectSortsLikeStdSort(Random(n, n + 2, -3, 3), "few distinct values");
  }
  ExpectSortsLikeStdSort(
      {std::numeric_limits<int64_t>::max(), 0, -1, std::numeric_limits<int64_t>::min(), 1,
       std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), 5, -5, 0, 2, 3},
      "extremes");
}

TEST(SortAlgorithmsTest, EverySizeUpTo200) {
  for (size_t n = 0; n <= 200; ++n) ExpectSortsLikeStdSort(Random(n, n * 7 + 1, -50, 50), "random");
}

TEST(SortAlgorithmsTest, QuickSortSortsOnlyTheGivenRange) {
  Elements a = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, -1, -2, -3, -4, -5, -6, -7, -8, 99};
  QuickSort(a.data(), 2, 16);  // 15 elements: one partition, then insertion
  EXPECT_EQ(a, (Elements{9, 8, -7, -6, -5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, -8, 99}));
}

TEST(SortAlgorithmsTest, AMergeBufferBeyondTheMachineIsOutOfMemory) {
  int64_t a[2] = {2, 1};
  // The buffer is taken before any element is touched.
  EXPECT_THROW(MergeSort(a, int64_t{1} << 45), std::bad_alloc);
  EXPECT_EQ(a[0], 2);
}

}  // namespace
}  // namespace forgeval
