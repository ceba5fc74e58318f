// The sort test's four sorts against the standard library on the same data: the test's own
// fill, shuffled once by the test's shuffle. Each measurement sorts a fresh copy of that
// shuffled array (the copy is not timed). Targets at 20,000,000 elements: Quick Sort at most
// 1.3 times std::sort, Merge Sort at most 1.3 times std::stable_sort (both allocate their
// buffer inside the timing), Heap Sort at most 1.2 times std::make_heap plus std::sort_heap.
// Shell Sort has no counterpart and is shown for scale.
//
// Full size takes minutes with repetitions:
//   forgeval_bench --benchmark_filter='Sort' --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stress/sort_algorithms.h"
#include "stress/sort_random.h"

namespace {

const std::vector<int64_t>& ShuffledData(int64_t n) {
  static std::vector<int64_t> data;
  if (static_cast<int64_t>(data.size()) != n) {
    data.assign(static_cast<size_t>(n), 0);
    std::vector<int64_t> copy(static_cast<size_t>(n));
    forgeval::FillSortArrays(data.data(), copy.data(), n);
    forgeval::SharedRandom random;
    forgeval::ShuffleArray(data.data(), n, random);
  }
  return data;
}

template <typename Sort>
void MeasureSort(benchmark::State& state, Sort sort) {
  const int64_t n = state.range(0);
  const std::vector<int64_t>& shuffled = ShuffledData(n);
  std::vector<int64_t> a(shuffled.size());
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(a.data(), shuffled.data(), a.size() * sizeof(int64_t));
    state.ResumeTiming();
    sort(a);
    benchmark::ClobberMemory();
  }
  if (!std::is_sorted(a.begin(), a.end())) state.SkipWithError("not sorted");
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_QuickSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) {
    forgeval::QuickSort(a.data(), 0, static_cast<int64_t>(a.size()) - 1);
  });
}
void BM_StdSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) { std::sort(a.begin(), a.end()); });
}
void BM_MergeSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) {
    forgeval::MergeSort(a.data(), static_cast<int64_t>(a.size()));
  });
}
void BM_StdStableSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) { std::stable_sort(a.begin(), a.end()); });
}
void BM_HeapSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) {
    forgeval::HeapSort(a.data(), static_cast<int64_t>(a.size()));
  });
}
void BM_StdHeapSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) {
    std::make_heap(a.begin(), a.end());
    std::sort_heap(a.begin(), a.end());
  });
}
void BM_ShellSort(benchmark::State& state) {
  MeasureSort(state, [](std::vector<int64_t>& a) {
    forgeval::ShellSort(a.data(), static_cast<int64_t>(a.size()));
  });
}

// One sort per measurement; --benchmark_repetitions gives the spread.
#define SORT_BENCHMARK(name) \
  BENCHMARK(name)->Arg(1000000)->Arg(20000000)->Iterations(1)->Unit(benchmark::kMillisecond)

SORT_BENCHMARK(BM_QuickSort);
SORT_BENCHMARK(BM_StdSort);
SORT_BENCHMARK(BM_MergeSort);
SORT_BENCHMARK(BM_StdStableSort);
SORT_BENCHMARK(BM_HeapSort);
SORT_BENCHMARK(BM_StdHeapSort);
SORT_BENCHMARK(BM_ShellSort);

}  // namespace
