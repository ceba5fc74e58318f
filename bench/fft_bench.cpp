// One run of the fast Fourier transform test (the precision figures of every length from 1
// to the argument, summed) by the program's transform and by the plain scalar form of the
// same operations. Target at 9999: the program at least 2 times faster, with the same sum to
// the bit (a run whose sum differs from the plain form's is marked as an error). The
// program's transform is also measured with each of its odd-butterfly kernels.
//
// Full size takes minutes with repetitions:
//   forgeval_bench --benchmark_filter='FftRun.*/9999' --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <map>

#include "fft_oracle.h"
#include "stress/fft.h"

namespace {

using forgeval::OddButterflyKernel;

// The plain form's sum of each length, worked out once per process.
double PlainSum(int64_t last_length) {
  static std::map<int64_t, double> sums;
  auto found = sums.find(last_length);
  if (found != sums.end()) return found->second;
  forgeval::testing::OracleFft oracle;
  return sums[last_length] = oracle.Run(last_length);
}

void MeasureProgram(benchmark::State& state, OddButterflyKernel kernel) {
  if (!forgeval::OddButterflyKernelAvailable(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  const int64_t last_length = state.range(0);
  forgeval::FftState fft;
  fft.set_odd_kernel(kernel);
  double sum = 0;
  for (auto _ : state) {
    sum = forgeval::FftRun(fft, last_length);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["sum"] = sum;
  if (std::bit_cast<uint64_t>(sum) != std::bit_cast<uint64_t>(PlainSum(last_length))) {
    state.SkipWithError("the sum differs from the plain form's");
  }
}

void BM_FftRunProgram(benchmark::State& state) {
  MeasureProgram(state, forgeval::BestOddButterflyKernel());
}
void BM_FftRunProgramAvx2(benchmark::State& state) {
  MeasureProgram(state, OddButterflyKernel::kAvx2);
}
void BM_FftRunProgramScalarKernel(benchmark::State& state) {
  MeasureProgram(state, OddButterflyKernel::kScalar);
}

void BM_FftRunPlain(benchmark::State& state) {
  const int64_t last_length = state.range(0);
  forgeval::testing::OracleFft oracle;
  double sum = 0;
  for (auto _ : state) {
    sum = oracle.Run(last_length);
    benchmark::DoNotOptimize(sum);
  }
  state.counters["sum"] = sum;
}

#define FFT_BENCHMARK(name) \
  BENCHMARK(name)->Arg(2000)->Arg(9999)->Iterations(1)->Unit(benchmark::kMillisecond)

FFT_BENCHMARK(BM_FftRunProgram);
FFT_BENCHMARK(BM_FftRunProgramAvx2);
FFT_BENCHMARK(BM_FftRunProgramScalarKernel);
FFT_BENCHMARK(BM_FftRunPlain);

}  // namespace
