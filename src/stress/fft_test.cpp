#include "stress/fft.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "fft_oracle.h"
#include "worker_console.h"

namespace forgeval {
namespace {

// The sanitizer builds check memory and threads, not arithmetic, many times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

bool SameBits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// A wrong radix or stage order, a swapped index in a butterfly, a vector lane out of step: with
// every odd-butterfly kernel, the transforms of every short length and a spread of long ones
// are the plain form's bits, and leave their input alone. Lengths outside the tables are refused.
TEST(FftTransformTest, EveryKernelGivesThePlainFormsBits) {
  std::vector<int64_t> lengths = {64, 97, 128, 194, 210, 997, 1000};
  for (int64_t n = 1; n <= (kSanitized ? 60 : 400); ++n) lengths.push_back(n);
  for (int64_t n = 401; !kSanitized && n <= kFftLongestLength; n += 211) lengths.push_back(n);
  if (!kSanitized) lengths.insert(lengths.end(), {8192, 9999, 2 * 4999, 3 * 3331, 8 * 1249, 9973});
  for (int64_t n = 1; n <= kFftLongestLength; ++n) {
    const FftFactors f = FftFactorize(n);
    ASSERT_EQ(std::vector<int64_t>(f.radix, f.radix + f.count), testing::OracleFft::Factorize(n));
  }
  testing::OracleFft oracle;
  const size_t size = kFftTableSize;
  std::vector<double> x_re(size), x_im(size), y_re(size), y_im(size), want_re(size), want(size);
  EXPECT_TRUE(OddButterflyKernelAvailable(BestOddButterflyKernel()));
  for (auto kernel :
       {OddButterflyKernel::kScalar, OddButterflyKernel::kAvx2, OddButterflyKernel::kAvx512}) {
    if (!OddButterflyKernelAvailable(kernel)) continue;
    FftState state;
    state.set_odd_kernel(kernel);
    EXPECT_THROW(Fft(state, 0, x_re.data(), x_im.data(), y_re.data(), y_im.data()),
                 std::out_of_range);
    EXPECT_THROW(Fft(state, kFftTableSize, x_re.data(), x_im.data(), y_re.data(), y_im.data()),
                 std::out_of_range);
    std::mt19937_64 random(9999);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (int64_t n : lengths) {
      for (size_t j = 0; j < static_cast<size_t>(n); ++j)
        x_re[j] = uniform(random), x_im[j] = uniform(random);
      const std::vector<double> before = x_re;
      Fft(state, n, x_re.data(), x_im.data(), y_re.data(), y_im.data());
      ASSERT_EQ(x_re, before);
      oracle.Transform(n, x_re.data(), x_im.data(), want_re.data(), want.data());
      for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
        ASSERT_TRUE(SameBits(y_re[k], want_re[k]) && SameBits(y_im[k], want[k]))
            << "kernel " << static_cast<int>(kernel) << ", n " << n << ", k " << k;
      }
    }
  }
}

// A figure off by a bit, a sum begun or ordered otherwise, a state carried into the next run:
// each figure of a run and the sums of runs in a row on one state are the plain form's bits.
TEST(FftRunTest, FiguresAndSumsAreThePlainFormsBits) {
  FftState state;
  testing::OracleFft oracle;
  const FftSignal signal;
  // By hand: length 1 leaves x0 = i and the zero at index 3; length 2 gives 1.625.
  EXPECT_DOUBLE_EQ(FftPrecision(state, 1, signal), 10.0 * std::log10(2.0));
  EXPECT_DOUBLE_EQ(FftPrecision(state, 2, signal), 10.0 * std::log10(1.625));
  oracle.Reset();
  for (int64_t n = 1; n <= (kSanitized ? 150 : 1200); ++n) {
    ASSERT_TRUE(SameBits(FftPrecision(state, n, signal), oracle.Precision(n))) << n;
  }
  for (int64_t last : {1, 2, 3, 4, 500, 4}) {
    EXPECT_TRUE(SameBits(FftRun(state, last), oracle.Run(last))) << last;
  }
}

// The whole test's run against the plain form: minutes of scalar arithmetic (soak only).
TEST(FftSoakTest, TheFullRunIsThePlainFormsSumToTheBit) {
  FftState state;
  const double sum = FftRun(state, kFftLongestLength);
  EXPECT_TRUE(SameBits(sum, testing::OracleFft().Run(kFftLongestLength))) << sum;
}

using FftWorkerTest = testing::WorkerConsoleTest;
FftSumsHook g_change = nullptr;
double g_sums[2];

// Equal sums end with the "[Done]" line; sums one bit apart, a NaN, or sums of 309 digits
// (not cut) take the error path showing both.
TEST_F(FftWorkerTest, OnlyEqualSumsPass) {
  const FftSumsHook changes[] = {
      [](double&, double&) {}, [](double&, double& b) { b = std::nextafter(b, 0.0); },
      [](double& a, double&) { a = std::numeric_limits<double>::quiet_NaN(); },
      [](double& a, double& b) { a = 1e308, b = -1e308; }};
  for (FftSumsHook change : changes) {
    ClearFailureFlag();
    g_change = change;
    const uint32_t exit_code = Run(
        [](int index) {
          RunFftTest(index, 60, [](double& a, double& b) {
            g_change(a, b);
            g_sums[0] = a, g_sums[1] = b;
          });
        },
        1);
    char error[1024];
    snprintf(error, sizeof error,
             "[*** ERROR Thread 1 : Fast Fourier Transform results are inconsistent( %f != %f) "
             "***]\n",
             g_sums[0], g_sums[1]);
    const bool equal = change == changes[0];
    EXPECT_EQ(exit_code, equal ? kWorkerCompleted : kWorkerFailed);
    EXPECT_EQ(FailureFlagRaised(), !equal);
    EXPECT_EQ(console_,
              "Thread 1 : Starting Fast Fourier Transform test...\n" +
                  std::string(equal ? "Thread 1 : Fast Fourier Transform test...[Done]\n" : error));
  }
}

}  // namespace
}  // namespace forgeval
