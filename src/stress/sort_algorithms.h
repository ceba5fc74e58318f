// The four comparison sorts of the sort test, each in the exact form the test prescribes, so
// that every worker on every machine performs the same comparisons and moves. All order
// signed 64-bit integers ascending with strict less-than comparisons only (the merge takes
// the left element on equality).
//
// - QuickSort: median of three, Hoare partition around the pivot parked at hi - 1,
//   recursion on the left part only (the right part is looped), insertion sort below 11
//   elements.
// - ShellSort: gaps n/2, n/4, ..., 1 with an insertion pass per gap.
// - MergeSort: top-down; a merge buffer of n zeros per call, taken from the memory budget
//   (std::bad_alloc when it does not fit); every merge writes the buffer from the left and
//   copies the run back from the top.
// - HeapSort: a max-heap with a sift-down that stops early.
//
// Long sorts look for a stop request at coarse boundaries (StopIfRequested).
// Arrays are caller-owned; nothing is shared, so different arrays sort on different threads.
#ifndef FORGEVAL_STRESS_SORT_ALGORITHMS_H_
#define FORGEVAL_STRESS_SORT_ALGORITHMS_H_

#include <cstdint>

namespace forgeval {

// Sorts a[lo..hi] (inclusive); the test calls it with lo = 0, hi = n - 1.
void QuickSort(int64_t* a, int64_t lo, int64_t hi);

void ShellSort(int64_t* a, int64_t n);

void MergeSort(int64_t* a, int64_t n);

void HeapSort(int64_t* a, int64_t n);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_SORT_ALGORITHMS_H_
