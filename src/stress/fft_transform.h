// The fast Fourier transform test's own mixed-radix transform and its precision figure.
//
// FftFactorize splits a length into stage radices: 10, 8, 5, 4, 3, 2 from the largest down,
// a trailing 2 with an earlier 8 turned into 4 and 4, then trial division by 2, 3, ... while
// k < sqrt(n) + 1 in single precision, and what is left as a last factor; the stages run in
// the reverse order of discovery (12 gives stages 3, 4; 16 gives 4, 4; 24 gives 3, 8).
// Fft permutes the input by mixed-radix digit reversal and runs one twiddle stage per radix
// with the butterflies of radix 2, 3, 4, 5, 8, 10 and the general odd butterfly for the rest.
//
// Every figure is reproducible to the bit: each floating-point operation is the one written,
// rounded on its own (this code is built with -ffp-contract=off and without fast-math), in
// the order written; only the general odd butterfly computes several independent outputs side
// by side. The same binary therefore gives the same figures on every run.
//
// FftState (about 650 KB) comes from the memory budget; std::bad_alloc when it does not fit.
// One state per worker; nothing is shared between threads.
#ifndef FORGEVAL_STRESS_FFT_TRANSFORM_H_
#define FORGEVAL_STRESS_FFT_TRANSFORM_H_

#include <cstdint>

#include "platform/memory_budget.h"
#include "stress/fft_odd_butterfly.h"

namespace forgeval {

// Tables of this many entries bound the radix and the length of a transform.
inline constexpr int64_t kFftTableSize = 10000;
inline constexpr int64_t kFftLongestLength = kFftTableSize - 1;

// Stages of a length: radix[0] is the first stage's radix.
struct FftFactors {
  static constexpr int kMaxStages = 64;
  int count = 0;
  int64_t radix[kMaxStages] = {};
};

// The stage radices of length n >= 1.
FftFactors FftFactorize(int64_t n);

class FftState {
 public:
  // The working tables, in fft_transform.cpp.
  struct Tables;

  FftState();
  FftState(const FftState&) = delete;
  FftState& operator=(const FftState&) = delete;

  Tables& tables() { return *tables_; }

  // The general odd butterfly's kernel: the fastest this processor runs, unless set.
  OddButterflyKernel odd_kernel() const { return odd_kernel_; }
  void set_odd_kernel(OddButterflyKernel kernel) { odd_kernel_ = kernel; }

 private:
  platform::BudgetedBlock block_;
  Tables* tables_;
  OddButterflyKernel odd_kernel_;
};

// The variant of the math library's sin and cos that computes the transform's tables on this
// processor: glibc's libm picks "fma" when the processor has FMA and AVX2, "fma4" with FMA4,
// and "sse2" otherwise. The variants may round a few inputs differently, so machines that
// must give the same sums are those that agree on it.
const char* MathLibraryVariant();

// Writes Y[k] = sum over j of x[j] e^(-2 pi i j k / n), k = 0 .. n-1, into y; x is unchanged.
// 1 <= n <= kFftLongestLength; every array holds at least n values.
void Fft(FftState& state, int64_t n, const double* x_re, const double* x_im, double* y_re,
         double* y_im);

// The four signal arrays of one run: kFftTableSize zeros each, from the memory budget
// (std::bad_alloc when they do not fit).
class FftSignal {
 public:
  FftSignal();
  double* x_re() const { return Values(x_re_); }
  double* x_im() const { return Values(x_im_); }
  double* y_re() const { return Values(y_re_); }
  double* y_im() const { return Values(y_im_); }

 private:
  static double* Values(const platform::BudgetedBlock& block) {
    return static_cast<double*>(block.data());
  }
  platform::BudgetedBlock x_re_, x_im_, y_re_, y_im_;
};

// Fills the input with the test signal of length n (x[j] = sin(j s) + i cos(j s) / (j + 1),
// s = 6 pi / n), transforms it and returns the precision figure in decibels: 10 log10 of the
// output's squared distance from n at index 3, divided by n twice; -1000 when that is not
// positive. Index 3 of the output is read even when n <= 3 (it then holds what the run left
// there: zero).
double FftPrecision(FftState& state, int64_t n, const FftSignal& signal);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_FFT_TRANSFORM_H_
