// The sorts are written for speed without changing what they do: the same comparisons and
// the same element moves in the same order as their textbook form. The merge picks its run
// without a branch, so mispredictions do not dominate its time; the sift-down keeps its
// branch, because the processor's guess lets it fetch the next level before the comparison
// is known, and it prefetches further down.
#include "stress/sort_algorithms.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/memory_budget.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

// Ranges of at least this many elements look for the operator's interrupt; a sort of such a
// range takes milliseconds, so the check costs nothing and a stop comes quickly.
constexpr int64_t kInterruptCheckElements = int64_t{1} << 20;

// Insertion sort of a[lo..hi], shifting while the index stays above lo.
void InsertionSort(int64_t* a, int64_t lo, int64_t hi) {
  for (int64_t k = lo + 1; k <= hi; ++k) {
    const int64_t t = a[k];
    int64_t j = k;
    while (j > lo && t < a[j - 1]) {
      a[j] = a[j - 1];
      --j;
    }
    a[j] = t;
  }
}

// Merges the runs a[l..e-1] and a[e..r] through buffer[l..r], then copies buffer[r..l] back
// from the top.
void Merge(int64_t* a, int64_t* buffer, int64_t l, int64_t e, int64_t r) {
  int64_t left = l;
  int64_t right = e;
  int64_t out = l;
  while (left < e && right <= r) {
    const int64_t from_left = a[left];
    const int64_t from_right = a[right];
    const bool take_right = from_right < from_left;  // equal: the left run first
    buffer[out++] = take_right ? from_right : from_left;
    right += take_right;
    left += !take_right;
  }
  while (left < e) buffer[out++] = a[left++];
  while (right <= r) buffer[out++] = a[right++];
  for (int64_t k = r; k >= l; --k) a[k] = buffer[k];
}

void MergeSortRange(int64_t* a, int64_t* buffer, int64_t left, int64_t right) {
  if (right - left >= kInterruptCheckElements) StopIfRequested();
  const int64_t c = (left + right) / 2;
  if (left < c) MergeSortRange(a, buffer, left, c);
  if (c + 1 < right) MergeSortRange(a, buffer, c + 1, right);
  Merge(a, buffer, left, c + 1, right);
}

// A hint to fetch the cache line of a[at]; `at` may lie past the end (a prefetch never
// faults), so the address is formed as a number.
void PrefetchElements(const int64_t* a, int64_t at) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(a) +
                                                   static_cast<uintptr_t>(at) * sizeof(int64_t)));
}

// Sift-down of position i within the first len elements.
void SiftDown(int64_t* a, int64_t i, int64_t len) {
  const int64_t t = a[i];
  while (2 * i + 1 < len) {
    int64_t c = 2 * i + 1;
    // The great-grandchildren are fetched while the children are compared: a sift-down
    // through a large heap waits on memory at every level otherwise.
    PrefetchElements(a, 8 * i + 7);
    PrefetchElements(a, 8 * i + 14);
    if (c != len - 1 && a[c] < a[c + 1]) ++c;
    if (!(t < a[c])) break;
    a[i] = a[c];
    i = c;
  }
  a[i] = t;
}

}  // namespace

void QuickSort(int64_t* a, int64_t lo, int64_t hi) {
  while (hi - lo >= 10) {
    if (hi - lo >= kInterruptCheckElements) StopIfRequested();
    const int64_t mid = (lo + hi) / 2;
    if (a[mid] < a[lo]) std::swap(a[mid], a[lo]);
    if (a[hi] < a[lo]) std::swap(a[hi], a[lo]);
    if (a[hi] < a[mid]) std::swap(a[hi], a[mid]);
    std::swap(a[mid], a[hi - 1]);
    const int64_t p = a[hi - 1];
    // a[lo] <= p and a[hi - 1] == p stop both scans inside the range.
    int64_t i = lo;
    int64_t j = hi - 1;
    for (;;) {
      do ++i;
      while (a[i] < p);
      do --j;
      while (p < a[j]);
      if (i >= j) break;
      std::swap(a[i], a[j]);
    }
    std::swap(a[i], a[hi - 1]);
    QuickSort(a, lo, i - 1);
    lo = i + 1;
  }
  InsertionSort(a, lo, hi);
}

void ShellSort(int64_t* a, int64_t n) {
  for (int64_t gap = n / 2; gap > 0; gap /= 2) {
    StopIfRequested();
    for (int64_t k = gap; k < n; ++k) {
      // One gap's pass over a large array takes seconds: stop within it too.
      if (k % kInterruptCheckElements == 0) StopIfRequested();
      const int64_t t = a[k];
      int64_t j = k;
      while (j >= gap && t < a[j - gap]) {
        a[j] = a[j - gap];
        j -= gap;
      }
      a[j] = t;
    }
  }
}

void MergeSort(int64_t* a, int64_t n) {
  if (n <= 0) return;  // a buffer of no elements
  platform::BudgetedBlock block =
      platform::AllocateBudgetedOrThrow(static_cast<size_t>(n) * sizeof(int64_t));
  if (n >= 2) MergeSortRange(a, static_cast<int64_t*>(block.data()), 0, n - 1);
}

void HeapSort(int64_t* a, int64_t n) {
  if (n <= 0) return;  // no position 0 to sift
  for (int64_t i = n / 2; i >= 0; --i) {
    if (i % kInterruptCheckElements == 0) StopIfRequested();
    SiftDown(a, i, n);
  }
  for (int64_t k = n - 1; k >= 1; --k) {
    if (k % kInterruptCheckElements == 0) StopIfRequested();
    std::swap(a[0], a[k]);
    SiftDown(a, 0, k);
  }
}

}  // namespace forgeval
