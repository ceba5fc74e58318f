#include "stress/sort.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>

#include "platform/memory_budget.h"
#include "run/ini_file.h"
#include "stress/sort_algorithms.h"
#include "stress/sort_random.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

struct SortPhase {
  SortKind kind;
  const char* step;        // progress text
  const char* done;        // the same with "[Done]"
  const char* error_name;  // the sort's name in its error text
  const char* figure;      // the run record's name for its seconds per sort
};

constexpr SortPhase kPhases[] = {
    {SortKind::kQuick, "Starting Quick Sort test...", "Starting Quick Sort test...[Done]",
     "Quick Sort", "quick_sort_seconds"},
    {SortKind::kShell, "Starting Shell Sort test...", "Starting Shell Sort test...[Done]",
     "Shell Sort", "shell_sort_seconds"},
    {SortKind::kMerge, "Starting Merge Sort test...", "Starting Merge Sort test...[Done]",
     "Merge Sort", "merge_sort_seconds"},
    {SortKind::kHeap, "Starting Heap Sort test...", "Starting Heap Sort test...[Done]",
     "Heaps Sort", "heap_sort_seconds"},
};
constexpr int kPhaseCount = static_cast<int>(std::size(kPhases));

void Sort(SortKind kind, int64_t* a, int64_t n) {
  switch (kind) {
    case SortKind::kQuick:
      QuickSort(a, 0, n - 1);
      return;
    case SortKind::kShell:
      ShellSort(a, n);
      return;
    case SortKind::kMerge:
      MergeSort(a, n);
      return;
    case SortKind::kHeap:
      HeapSort(a, n);
      return;
  }
}

// The first difference between the two sorted copies ends the worker.
void CompareSorted(int worker_index, SortKind kind, const int64_t* a, const int64_t* b, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) ReportTestError(SortInconsistencyText(worker_index, kind, a[i], b[i], i));
  }
}

// The low 32 bits of an element as a signed number, as "%d" shows it.
int LowWord(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

int64_t* Elements(const platform::BudgetedBlock& block) {
  return static_cast<int64_t*>(block.data());
}

platform::BudgetedBlock AllocateElements(int64_t n) {
  if (n == 0) return {};
  return platform::AllocateBudgetedOrThrow(static_cast<size_t>(n) * sizeof(int64_t));
}

void SortTestBody(int worker_index) {
  RunSortTest(worker_index, IniReadInt("SortAlgorithms", "ArraySize", kDefaultSortArraySize));
}

}  // namespace

std::string SortInconsistencyText(int worker_index, SortKind kind, int64_t value1, int64_t value2,
                                  int64_t at) {
  char text[200];
  snprintf(text, sizeof text,
           "[*** ERROR Thread %d : %s results are inconsistent( Value1 = %d, Value2 = %d, at "
           "%" PRId64 ") ***]",
           worker_index, kPhases[static_cast<int>(kind)].error_name, LowWord(value1),
           LowWord(value2), at);
  return text;
}

void RunSortTest(int worker_index, uint32_t array_size, SortResultHook hook) {
  // The count is the configured number taken as a signed 32-bit value.
  const int64_t n = static_cast<int32_t>(array_size);
  ReportProgress(worker_index, "%s", kPhases[0].step);
  if (n < 0) {
    char text[160];
    snprintf(text, sizeof text,
             "[*** ERROR Thread %d : Sort ArraySize %u is out of range (0 to 2147483647) ***]",
             worker_index, array_size);
    ReportTestError(text);
  }
  platform::BudgetedBlock a_block = AllocateElements(n);
  platform::BudgetedBlock b_block = AllocateElements(n);
  int64_t* a = Elements(a_block);
  int64_t* b = Elements(b_block);
  FillSortArrays(a, b, n);

  ReportWorkerFigure(worker_index, "elements", n);
  for (int p = 0; p < kPhaseCount; ++p) {
    const SortPhase& phase = kPhases[p];
    if (phase.kind != SortKind::kQuick) ReportProgress(worker_index, "%s", phase.step);
    double sort_seconds = 0;
    for (int iteration = 0; iteration < kSortIterations; ++iteration) {
      StopIfRequested();
      ReportWorkProgress(worker_index, static_cast<double>(p * kSortIterations + iteration) /
                                           (kPhaseCount * kSortIterations));
      ShuffleArray(a, n);
      ShuffleArray(b, n);
      const WorkStopwatch stopwatch;
      Sort(phase.kind, a, n);
      Sort(phase.kind, b, n);
      sort_seconds += stopwatch.Seconds();
      if (hook != nullptr) hook(phase.kind, iteration, a, b, n);
      CompareSorted(worker_index, phase.kind, a, b, n);
    }
    ReportWorkerFigure(worker_index, phase.figure, sort_seconds / (2 * kSortIterations));
    ReportProgress(worker_index, "%s", phase.done);
  }
  b_block = {};  // B is released before A
  a_block = {};
}

uint32_t SortTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &SortTestBody, CatchClauses::kStandard);
}

}  // namespace forgeval
