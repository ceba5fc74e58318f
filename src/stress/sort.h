// The sort test: Quick Sort, Shell Sort, Merge Sort and Heap Sort, fifteen iterations each,
// of two copies of one array of signed 64-bit integers (section "SortAlgorithms", key
// "ArraySize", default 20000000 elements). Every iteration shuffles both copies with the
// shared shuffle generator, sorts both and demands that they agree element for element; the
// arrays are filled once and never refilled.
//
// Progress steps, in order: "Starting Quick Sort test...", its "[Done]", then the same pair
// for Shell, Merge and Heap Sort. The first difference ends the worker with
//   "[*** ERROR Thread %d : <Sort> results are inconsistent( Value1 = %d, Value2 = %d,
//    at %I64d) ***]"
// where <Sort> is "Quick Sort", "Shell Sort", "Merge Sort" or "Heaps Sort", the values are
// the low 32 bits of the two elements as signed decimals and the position is in full.
//
// An ArraySize that does not fit a signed 32-bit count is reported as an error naming the
// value. The arrays (16 bytes per element) and each merge buffer (8 bytes per element) come
// from the memory budget: one that does not fit ends the worker with "Out of memory.".
#ifndef FORGEVAL_STRESS_SORT_H_
#define FORGEVAL_STRESS_SORT_H_

#include <cstdint>
#include <string>

namespace forgeval {

inline constexpr uint32_t kDefaultSortArraySize = 20000000;
inline constexpr int kSortIterations = 15;

enum class SortKind { kQuick, kShell, kMerge, kHeap };

// The worker entry: the argument is the worker index.
uint32_t SortTestThread(uintptr_t argument);

// A seam for the test suite: called after each iteration's two sorts, before the compare.
using SortResultHook = void (*)(SortKind kind, int iteration, int64_t* a, int64_t* b, int64_t n);

// The body for one worker with the configured ArraySize value already read. Runs inside the
// worker frame (it reports through the frame's error path).
void RunSortTest(int worker_index, uint32_t array_size, SortResultHook hook = nullptr);

// The text of a difference between the two sorted copies.
std::string SortInconsistencyText(int worker_index, SortKind kind, int64_t value1, int64_t value2,
                                  int64_t at);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_SORT_H_
