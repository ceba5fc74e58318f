// The fast Fourier transform test: its transform against the plain form bit for bit and
// against the definition within rounding, its runs, and the worker's two outcomes.
#include "stress/fft_test.h"

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

// Random points x of length n, and their transform y by the program.
struct Signal {
  Signal(int64_t n, std::mt19937_64& random)
      : re(static_cast<size_t>(n)), im(re), y_re(re), y_im(re) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (size_t j = 0; j < re.size(); ++j) re[j] = uniform(random), im[j] = uniform(random);
  }
  void Transform(FftState& state) {
    Fft(state, static_cast<int64_t>(re.size()), re.data(), im.data(), y_re.data(), y_im.data());
  }
  std::vector<double> re, im, y_re, y_im;
};

// A wrong radix or stage order: every length's stages are the plain form's.
TEST(FftTransformTest, EveryLengthFactorsAsThePlainForm) {
  for (int64_t n = 1; n <= kFftLongestLength; ++n) {
    const FftFactors f = FftFactorize(n);
    ASSERT_EQ(std::vector<int64_t>(f.radix, f.radix + f.count), testing::OracleFft::Factorize(n))
        << n;
  }
}

// Wrong arithmetic shared with the plain form: the transform is the definition within rounding
// and leaves its input alone; lengths outside the tables are refused.
TEST(FftTransformTest, IsTheDefinitionWithinRounding) {
  FftState state;
  std::mt19937_64 random(300);
  std::vector<int64_t> lengths = {997};
  for (int64_t n = 1; n <= (kSanitized ? 100 : 300); ++n) lengths.push_back(n);
  for (int64_t n : lengths) {
    Signal x(n, random);
    const Signal before = x;
    x.Transform(state);
    ASSERT_TRUE(x.re == before.re && x.im == before.im) << n;
    const auto want = testing::DftByDefinition(x.re, x.im);
    const double tolerance = 1e-12 * static_cast<double>(n) * std::sqrt(static_cast<double>(n));
    for (size_t k = 0; k < want.size(); ++k) {
      ASSERT_NEAR(x.y_re[k], static_cast<double>(want[k].real()), tolerance) << n << " " << k;
      ASSERT_NEAR(x.y_im[k], static_cast<double>(want[k].imag()), tolerance) << n << " " << k;
    }
  }
  double values[4] = {};
  EXPECT_THROW(Fft(state, 0, values, values, values, values), std::out_of_range);
  EXPECT_THROW(Fft(state, kFftTableSize, values, values, values, values), std::out_of_range);
}

// A swapped index in a butterfly or a vector lane out of step: with every odd-butterfly kernel
// the transforms of every short length and a spread of long ones are the plain form's bits.
TEST(FftTransformTest, EveryKernelGivesThePlainFormsBits) {
  EXPECT_TRUE(OddButterflyKernelAvailable(BestOddButterflyKernel()));
  std::vector<int64_t> lengths = {64, 97, 128, 194, 210, 997, 1000};
  for (int64_t n = 1; n <= (kSanitized ? 60 : 400); ++n) lengths.push_back(n);
  for (int64_t n = 401; !kSanitized && n <= kFftLongestLength; n += 211) lengths.push_back(n);
  if (!kSanitized) lengths.insert(lengths.end(), {8192, 9999, 2 * 4999, 3 * 3331, 8 * 1249, 9973});
  testing::OracleFft oracle;
  std::vector<double> want_re(kFftTableSize), want_im(kFftTableSize);
  for (auto kernel :
       {OddButterflyKernel::kScalar, OddButterflyKernel::kAvx2, OddButterflyKernel::kAvx512}) {
    if (!OddButterflyKernelAvailable(kernel)) continue;
    FftState state;
    state.set_odd_kernel(kernel);
    std::mt19937_64 random(9999);
    for (int64_t n : lengths) {
      Signal x(n, random);
      x.Transform(state);
      oracle.Transform(n, x.re.data(), x.im.data(), want_re.data(), want_im.data());
      for (size_t k = 0; k < x.re.size(); ++k) {
        ASSERT_TRUE(SameBits(x.y_re[k], want_re[k]) && SameBits(x.y_im[k], want_im[k]))
            << "kernel " << static_cast<int>(kernel) << ", n " << n << ", k " << k;
      }
    }
  }
}

// A figure off by one bit, a sum begun or ordered otherwise, or a state carried into the next
// run: each figure of a run and the sums of runs in a row on one state are the plain form's.
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

TEST_F(FftWorkerTest, EqualSumsEndWithTheDoneLine) {
  EXPECT_EQ(Run([](int index) { RunFftTest(index, 60); }, 4), kWorkerCompleted);
  EXPECT_EQ(console_,
            "Thread 4 : Starting Fast Fourier Transform test...\n"
            "Thread 4 : Fast Fourier Transform test...[Done]\n");
  EXPECT_FALSE(FailureFlagRaised());
}

FftSumsHook g_change = nullptr;
double g_sums[2];

// Sums one bit apart, a NaN, and sums of 309 digits (not cut) take the error path with both.
TEST_F(FftWorkerTest, UnequalSumsTakeTheErrorPathShowingBoth) {
  const FftSumsHook changes[] = {
      [](double&, double& b) { b = std::nextafter(b, 0.0); },
      [](double& a, double&) { a = std::numeric_limits<double>::quiet_NaN(); },
      [](double& a, double& b) { a = 1e308, b = -1e308; }};
  for (FftSumsHook change : changes) {
    ClearFailureFlag();
    g_change = change;
    EXPECT_EQ(Run(
                  [](int index) {
                    RunFftTest(index, 5, [](double& a, double& b) {
                      g_change(a, b);
                      g_sums[0] = a, g_sums[1] = b;
                    });
                  },
                  1),
              kWorkerFailed);
    EXPECT_TRUE(FailureFlagRaised());
    char sums[1024];
    snprintf(sums, sizeof sums, "( %f != %f)", g_sums[0], g_sums[1]);
    EXPECT_EQ(console_,
              "Thread 1 : Starting Fast Fourier Transform test...\n[*** ERROR Thread 1 : Fast "
              "Fourier Transform results are inconsistent" +
                  std::string(sums) + " ***]\n");
  }
}

}  // namespace
}  // namespace forgeval
