#include "stress/sort_random.h"

#include <utility>

#include "stress/worker_frame.h"

namespace forgeval {
namespace {

// 2^31 - 1 divided by -2^63: the fill divides by it, which multiplies by -2^63 / (2^31 - 1).
constexpr double kFillDivisor = 2147483647.0 / -9223372036854775808.0;

// A fill or shuffle of 20,000,000 elements takes a fraction of a second, of 2^31 elements
// many seconds; checking for the operator's interrupt every million steps keeps a stop prompt
// at no measurable cost.
constexpr int64_t kInterruptCheckSteps = int64_t{1} << 20;

}  // namespace

int64_t SortElementOf(int64_t random_value) {
  return static_cast<int64_t>(static_cast<double>(random_value) / kFillDivisor);
}

void FillSortArrays(int64_t* a, int64_t* b, int64_t n) {
  int64_t state = 1;
  for (int64_t m = 0; m < n; ++m) {
    if (m % kInterruptCheckSteps == 0) StopIfRequested();
    const int64_t value = SortElementOf(NextRandom(state));
    a[m] = value;
    b[m] = value;
  }
}

int64_t SharedRandom::Next() {
  int64_t current = state_.load(std::memory_order_relaxed);
  int64_t next = current;
  do {
    next = current;
    NextRandom(next);
  } while (!state_.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

SharedRandom& ShuffleRandom() {
  static SharedRandom random;
  return random;
}

void ShuffleArray(int64_t* a, int64_t n, SharedRandom& random) {
  if (n < 2) return;
  for (int64_t i = 1; i < n; ++i) {
    if (i % kInterruptCheckSteps == 0) StopIfRequested();
    const double value = static_cast<double>(random.Next());
    const auto j = static_cast<int64_t>(value / (2147483647.0 / static_cast<double>(i + 1)));
    std::swap(a[i], a[j]);
  }
}

}  // namespace forgeval
