// The sort test, its four sorts and its random numbers.
#include "stress/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

#include "report/failure_flag.h"
#include "stress/sort_algorithms.h"
#include "stress/sort_random.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using Elements = std::vector<int64_t>;

// std::minstd_rand from 1; fill value * -2^63 / (2^31 - 1); shuffle step i swaps a[i] and
// a[value / ((2^31 - 1) / (i + 1))]; two workers sharing the generator lose no step.
TEST(SortRandomTest, GeneratorFillAndShuffleFollowTheMinimalStandardGenerator) {
  constexpr int64_t kCount = 100000;
  Elements a(kCount), b(kCount), identity(kCount);
  std::iota(identity.begin(), identity.end(), 0);
  Elements want = identity, arrays[2] = {identity, identity};
  std::minstd_rand reference(1);
  int64_t state = 1;
  FillSortArrays(a.data(), b.data(), kCount);
  EXPECT_EQ(a, b);
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(NextRandom(state), int64_t(reference()));
    ASSERT_NEAR(double(a[i]), -double(state) * 0x1p63 / 2147483647.0, 1.0);
    const size_t step = i + 1;  // the shuffle step that draws this value
    if (step < a.size())
      std::swap(want[step], want[size_t(double(state) / (2147483647.0 / double(step + 1)))]);
  }
  SharedRandom mine, shared;
  ShuffleArray(a.data(), 1, mine);  // one element: no step
  ShuffleArray((a = identity).data(), kCount, mine);
  EXPECT_EQ(a, want);
  std::thread workers[2];
  for (int w : {0, 1})
    workers[w] = std::thread([&, w] { ShuffleArray(arrays[w].data(), kCount, shared); });
  for (int w : {0, 1}) {
    workers[w].join();
    std::sort(arrays[w].begin(), arrays[w].end());
    EXPECT_EQ(arrays[w], identity);
  }
  reference.discard(kCount - 2);
  EXPECT_EQ(shared.Next(), int64_t(reference()));
}

// Each sort against std::sort at every size to 200, where thresholds, halves and levels change.
TEST(SortAlgorithmsTest, EachSortOrdersLikeStdSort) {
  void (*const sorts[])(int64_t*, int64_t) = {[](int64_t* a, int64_t n) { QuickSort(a, 0, n - 1); },
                                              &ShellSort, &MergeSort, &HeapSort};
  std::mt19937_64 random(1);
  std::vector<Elements> inputs = {{INT64_MAX, 0, -1, INT64_MIN, 1, INT64_MIN, INT64_MAX, 5, -5}};
  for (size_t n = 0; n <= 200; ++n) {
    Elements a(n);
    for (int64_t& value : a) value = int64_t(random() % 101) - 50;
    inputs.push_back(a);
    std::sort(a.begin(), a.end());
    inputs.insert(inputs.end(), {a, Elements(a.rbegin(), a.rend()), Elements(n, -7)});
  }
  for (const Elements& input : inputs) {
    Elements want = input;
    std::sort(want.begin(), want.end());
    for (int s = 0; s < 4; ++s) {
      Elements a = input;
      sorts[s](a.data(), int64_t(a.size()));
      ASSERT_EQ(a, want) << "sort " << s << " (quick, shell, merge, heap), n " << a.size();
    }
  }
  // The quick sort keeps to its range, short or long; the merge buffer comes before any move.
  Elements a(30), want(30);
  std::iota(a.rbegin(), a.rend(), 0);
  std::iota(want.rbegin(), want.rend(), 0);
  QuickSort(a.data(), 2, 8);
  QuickSort(a.data(), 12, 27);
  std::sort(want.begin() + 2, want.begin() + 9);
  std::sort(want.begin() + 12, want.begin() + 28);
  EXPECT_EQ(a, want);
  EXPECT_THROW(MergeSort(a.data(), int64_t{1} << 45), std::bad_alloc);
  EXPECT_EQ(a, want);
}

Elements g_sorted;          // the fill, sorted
int g_calls, g_plant_call;  // hook calls so far (sort * 15 + iteration); the one that plants
int64_t g_at, g_flip, g_values[2];
void Body(int index) {
  RunSortTest(index, uint32_t(g_sorted.size()),
              [](SortKind kind, int iteration, int64_t* a, int64_t* b, int64_t n) {
                EXPECT_EQ(int(kind) * 15 + iteration, g_calls);
                EXPECT_TRUE(std::equal(a, a + n, g_sorted.begin(), g_sorted.end()) &&
                            std::equal(b, b + n, g_sorted.begin(), g_sorted.end()));
                if (g_calls++ != g_plant_call) return;
                if (g_at + 1 < n) b[n - 1] ^= 1;  // a later difference is not the one reported
                b[g_at] ^= g_flip;
                g_values[0] = a[g_at], g_values[1] = b[g_at];
              });
}

// Four sorts of 15 iterations, each shuffling both copies of the fill with the process's
// generator; the first difference ends the worker with its sort, low 32-bit values, position.
TEST(SortWorkerTest, FifteenShuffledIterationsOfEachSortAndTheFirstDifference) {
  const char* names[] = {"Quick Sort", "Shell Sort", "Merge Sort", "Heaps Sort"};
  const struct {
    size_t size;
    int plant_call;
    int64_t at, flip;
  } cases[] = {{0, -1, 0, 0},
               {5000, -1, 0, 0},
               {1000, 0, 0, 1u << 31},
               {1000, 30, 5, 0x100010001},
               {1000, 59, 999, 0x7FF00000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant_call);
    ClearFailureFlag();
    g_sorted.assign(c.size, 0);
    FillSortArrays(g_sorted.data(), g_sorted.data(), int64_t(c.size));
    std::sort(g_sorted.begin(), g_sorted.end());
    g_calls = 0, g_plant_call = c.plant_call, g_at = c.at, g_flip = c.flip;
    std::minstd_rand reference(uint32_t(ShuffleRandom().Next()));
    const bool plant = c.plant_call >= 0;
    const std::string console = testing::ConsoleOf([plant] {
      EXPECT_EQ(RunTestWorker(2, &Body, CatchClauses::kStandard),
                plant ? kWorkerFailed : kWorkerCompleted);
    });
    EXPECT_EQ(FailureFlagRaised(), plant);
    EXPECT_EQ(g_calls, plant ? c.plant_call + 1 : 60);
    reference.discard(size_t(g_calls) * 2 * (c.size == 0 ? 0 : c.size - 1));  // two shuffles each
    EXPECT_EQ(ShuffleRandom().Next(), int64_t(reference()));
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'),
              plant ? c.plant_call / 15 * 2 + 2 : 8);
    if (!plant) continue;
    EXPECT_TRUE(console.ends_with(
        "\n[*** ERROR Thread 2 : " + std::string(names[c.plant_call / 15]) +
        " results are inconsistent( Value1 = " + std::to_string(int32_t(g_values[0])) +
        ", Value2 = " + std::to_string(int32_t(g_values[1])) + ", at " + std::to_string(c.at) +
        ") ***]\n"))
        << console;
  }
}

}  // namespace
}  // namespace forgeval
