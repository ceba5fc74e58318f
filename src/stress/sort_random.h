// The random numbers of the sort test: the Park-Miller minimal standard generator
// (multiplier 48271, modulus 2^31 - 1), the fill that turns one generator's values into the
// test's large negative 64-bit elements, and the shuffle with the generator that all sort
// workers of the process share.
//
// The shared generator starts at 1 on its first use in the process and is never reset, so
// two passes shuffle differently while every fill is the same. Each step of it is one atomic
// read-modify-write, so the sequence one worker draws depends on how the workers interleave;
// every index drawn still lies inside the array. Safe to use from any number of threads.
#ifndef FORGEVAL_STRESS_SORT_RANDOM_H_
#define FORGEVAL_STRESS_SORT_RANDOM_H_

#include <atomic>
#include <cstdint>

namespace forgeval {

inline constexpr int64_t kRandomModulus = 2147483647;  // 2^31 - 1
inline constexpr int64_t kRandomMultiplier = 48271;

// Advances `state` (1 .. 2^31 - 2) to 48271 * state mod (2^31 - 1) and returns it. From 1
// the first value is 48271.
inline int64_t NextRandom(int64_t& state) {
  // Schrage's form: never overflows 64 bits and equals the direct remainder.
  int64_t next = state * kRandomMultiplier - (state / 44488) * kRandomModulus;
  if (next < 0) next += kRandomModulus;
  state = next;
  return next;
}

// The element the fill makes of one generator value: value * -2^63 / (2^31 - 1) as double
// divisions, truncated toward zero. Always negative for a value of the generator.
int64_t SortElementOf(int64_t random_value);

// Fills a[0..n) and b[0..n) with the same elements, from a generator of its own that starts
// at 1, so every worker and every pass fills the same sequence.
void FillSortArrays(int64_t* a, int64_t* b, int64_t n);

// A generator whose steps are atomic read-modify-writes.
class SharedRandom {
 public:
  SharedRandom() = default;
  SharedRandom(const SharedRandom&) = delete;
  SharedRandom& operator=(const SharedRandom&) = delete;

  // Advances the shared state by one step and returns the new value.
  int64_t Next();

 private:
  std::atomic<int64_t> state_{1};
};

// The process's shuffle generator; its first use sets it to 1.
SharedRandom& ShuffleRandom();

// Shuffles a[0..n) in place: for i = 1 .. n-1 one step of `random` picks j in 0..i as a
// double quotient, and a[i] and a[j] are exchanged. Fewer than 2 elements: nothing happens.
void ShuffleArray(int64_t* a, int64_t n, SharedRandom& random = ShuffleRandom());

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_SORT_RANDOM_H_
