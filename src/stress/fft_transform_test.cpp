#include "stress/fft_transform.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

#include "fft_oracle.h"

namespace forgeval {
namespace {

using testing::OracleFft;

// The sanitizer builds check memory and threads, not arithmetic, and run it many times slower:
// they take smaller samples.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<int64_t> Stages(int64_t n) {
  const FftFactors factors = FftFactorize(n);
  return std::vector<int64_t>(factors.radix, factors.radix + factors.count);
}

TEST(FftFactorizeTest, EveryLengthOfTheTestMatchesThePlainFormAndMultipliesBack) {
  for (int64_t n = 1; n <= kFftLongestLength; ++n) {
    const std::vector<int64_t> stages = Stages(n);
    ASSERT_EQ(stages, OracleFft::Factorize(n)) << n;
    int64_t product = 1;
    for (int64_t radix : stages) product *= radix;
    ASSERT_EQ(product, n);
  }
}

class FftTransformTest : public ::testing::Test {
 protected:
  // Transforms x; returns y as complex values.
  std::vector<std::complex<double>> Transform(const std::vector<double>& re,
                                              const std::vector<double>& im) {
    const auto n = static_cast<int64_t>(re.size());
    std::vector<double> y_re(re.size()), y_im(re.size());
    Fft(state_, n, re.data(), im.data(), y_re.data(), y_im.data());
    std::vector<std::complex<double>> y(re.size());
    for (size_t k = 0; k < y.size(); ++k) y[k] = {y_re[k], y_im[k]};
    return y;
  }

  FftState state_;
};

TEST_F(FftTransformTest, MatchesTheDefinitionForEveryLengthUpTo300) {
  std::mt19937_64 random(300);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int64_t n = 1; n <= (kSanitized ? 100 : 300); ++n) {
    std::vector<double> re(static_cast<size_t>(n)), im(static_cast<size_t>(n));
    for (int64_t j = 0; j < n; ++j) {
      re[static_cast<size_t>(j)] = uniform(random);
      im[static_cast<size_t>(j)] = uniform(random);
    }
    const std::vector<double> re_before = re, im_before = im;
    const auto y = Transform(re, im);
    const auto expected = testing::DftByDefinition(re, im);
    // Rounding grows with the number of stages and the size of the butterflies.
    const double tolerance = 1e-12 * static_cast<double>(n) * std::sqrt(static_cast<double>(n));
    for (size_t k = 0; k < y.size(); ++k) {
      ASSERT_NEAR(y[k].real(), static_cast<double>(expected[k].real()), tolerance) << n << " " << k;
      ASSERT_NEAR(y[k].imag(), static_cast<double>(expected[k].imag()), tolerance) << n << " " << k;
    }
    ASSERT_EQ(re, re_before) << "the input is not changed";
    ASSERT_EQ(im, im_before);
  }
}

TEST_F(FftTransformTest, UnitImpulseGivesAllOnes) {
  for (int64_t n : {1, 2, 7, 12, 16, 24, 97, 1000, kSanitized ? 997 : 9973}) {
    std::vector<double> re(static_cast<size_t>(n)), im(static_cast<size_t>(n));
    re[0] = 1.0;
    const auto y = Transform(re, im);
    for (size_t k = 0; k < y.size(); ++k) {
      ASSERT_NEAR(y[k].real(), 1.0, 1e-12) << n << " " << k;
      ASSERT_NEAR(y[k].imag(), 0.0, 1e-12) << n << " " << k;
    }
  }
}

TEST_F(FftTransformTest, LengthsOutsideTheTablesAreRefused) {
  double values[4] = {};
  EXPECT_THROW(Fft(state_, 0, values, values, values, values), std::out_of_range);
  EXPECT_THROW(Fft(state_, kFftTableSize, values, values, values, values), std::out_of_range);
}

TEST_F(FftTransformTest, PrecisionFiguresOfLengthsOneAndTwo) {
  const FftSignal signal;
  // n = 1: the output is x0 = i; E = (0 - 1)^2 from the untouched element 3 plus 1.
  EXPECT_DOUBLE_EQ(FftPrecision(state_, 1, signal), 10.0 * std::log10(2.0));
  EXPECT_NEAR(FftPrecision(state_, 1, signal), 3.0103, 5e-5);
  // n = 2: E / n^2 = 1.625.
  EXPECT_DOUBLE_EQ(FftPrecision(state_, 2, signal), 10.0 * std::log10(1.625));
  EXPECT_NEAR(FftPrecision(state_, 2, signal), 2.1085, 5e-5);
}

// Bit patterns, so that a differing sign of zero or NaN payload counts too.
bool SameBits(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// The lengths checked against the plain form: every length up to 400, then a spread over the
// whole range, the longest primes and lengths whose largest factor is a large prime. (The
// soak test compares the whole run.)
std::vector<int64_t> SampleLengths() {
  std::vector<int64_t> lengths;
  if (kSanitized) {
    for (int64_t n = 1; n <= 60; ++n) lengths.push_back(n);
    for (int64_t n : {64, 97, 128, 210, 2 * 97, 997, 1000}) lengths.push_back(n);
    return lengths;
  }
  for (int64_t n = 1; n <= 400; ++n) lengths.push_back(n);
  for (int64_t n = 401; n <= kFftLongestLength; n += 211) lengths.push_back(n);
  for (int64_t n : {1024, 4096, 8192, 9600, 9999, 2 * 4999, 3 * 3331, 8 * 1249, 10 * 997, 9973}) {
    lengths.push_back(n);
  }
  return lengths;
}

void ExpectTransformsBitIdentical(FftState& state, const std::vector<int64_t>& lengths) {
  OracleFft oracle;
  std::mt19937_64 random(9999);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> x_re(kFftTableSize), x_im(kFftTableSize);
  std::vector<double> y_re(kFftTableSize), y_im(kFftTableSize);
  std::vector<double> want_re(kFftTableSize), want_im(kFftTableSize);
  for (int64_t n : lengths) {
    for (int64_t j = 0; j < n; ++j) {
      x_re[static_cast<size_t>(j)] = uniform(random);
      x_im[static_cast<size_t>(j)] = uniform(random);
    }
    Fft(state, n, x_re.data(), x_im.data(), y_re.data(), y_im.data());
    oracle.Transform(n, x_re.data(), x_im.data(), want_re.data(), want_im.data());
    for (size_t k = 0; k < static_cast<size_t>(n); ++k) {
      ASSERT_TRUE(SameBits(y_re[k], want_re[k]) && SameBits(y_im[k], want_im[k]))
          << "n = " << n << ", k = " << k << ": " << y_re[k] << " " << y_im[k] << " vs "
          << want_re[k] << " " << want_im[k];
    }
  }
}

TEST_F(FftTransformTest, EveryKernelGivesThePlainFormsBits) {
  const std::vector<int64_t> lengths = SampleLengths();
  for (OddButterflyKernel kernel :
       {OddButterflyKernel::kScalar, OddButterflyKernel::kAvx2, OddButterflyKernel::kAvx512}) {
    SCOPED_TRACE(static_cast<int>(kernel));
    if (!OddButterflyKernelAvailable(kernel)) continue;
    state_.set_odd_kernel(kernel);
    ExpectTransformsBitIdentical(state_, lengths);
  }
}

TEST_F(FftTransformTest, PrecisionFiguresOfARunAreThePlainFormsBits) {
  // A run in order from zeroed arrays, as the test makes it.
  const FftSignal signal;
  OracleFft oracle;
  oracle.Reset();
  for (int64_t n = 1; n <= (kSanitized ? 150 : 1200); ++n) {
    const double figure = FftPrecision(state_, n, signal);
    const double want = oracle.Precision(n);
    ASSERT_TRUE(SameBits(figure, want)) << n << ": " << figure << " vs " << want;
  }
}

}  // namespace
}  // namespace forgeval
