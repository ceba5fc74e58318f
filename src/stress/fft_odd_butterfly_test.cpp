#include "stress/fft_odd_butterfly.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "fft_oracle.h"

namespace forgeval {
namespace {

// One butterfly's operands: random points and the radix's roots.
struct Butterfly {
  explicit Butterfly(int64_t radix, uint64_t seed) : r(radix) {
    const auto size = static_cast<size_t>(r);
    roots.resize(2 * size);
    for (size_t k = 0; k < size; ++k) {
      const double angle = 6.283185307179586 * static_cast<double>(k) / static_cast<double>(r);
      roots[2 * k] = std::cos(angle);
      roots[2 * k + 1] = -std::sin(angle);
    }
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    z_re.resize(size);
    z_im.resize(size);
    for (size_t k = 0; k < size; ++k) {
      z_re[k] = uniform(random);
      z_im[k] = uniform(random);
    }
    const size_t half = size / 2 + 1;
    p_re.resize(half);
    p_im.resize(half);
    q_re.resize(half);
    q_im.resize(half);
  }

  // Applies the kernel to a copy of the points.
  void Apply(OddButterflyKernel kernel, std::vector<double>& out_re, std::vector<double>& out_im) {
    out_re = z_re;
    out_im = z_im;
    const OddButterflyTables tables{roots.data(), p_re.data(), p_im.data(), q_re.data(),
                                    q_im.data()};
    OddButterfly(kernel, r, tables, out_re.data(), out_im.data());
  }

  int64_t r;
  std::vector<double> roots, z_re, z_im, p_re, p_im, q_re, q_im;
};

std::vector<int64_t> Radices() {
  // Fewer outputs than one vector, exactly one or two blocks, a partial block, large primes.
  std::vector<int64_t> radices = {1, 7, 11, 13, 17, 19, 23, 31, 33, 37, 41, 61, 97, 331, 997};
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizer builds, many times slower, leave out the largest.
  radices.insert(radices.end(), {4999, 9973});
#endif
  return radices;
}

TEST(OddButterflyTest, ScalarKernelIsTheDiscreteFourierTransformOfItsPoints) {
  for (int64_t r : Radices()) {
    if (r > 1000) continue;  // the reference is quadratic in long double
    Butterfly butterfly(r, static_cast<uint64_t>(r));
    std::vector<double> re, im;
    butterfly.Apply(OddButterflyKernel::kScalar, re, im);
    const auto want = testing::DftByDefinition(butterfly.z_re, butterfly.z_im);
    const double tolerance = 1e-13 * static_cast<double>(r);
    for (size_t k = 0; k < want.size(); ++k) {
      ASSERT_NEAR(re[k], static_cast<double>(want[k].real()), tolerance) << r << " " << k;
      ASSERT_NEAR(im[k], static_cast<double>(want[k].imag()), tolerance) << r << " " << k;
    }
  }
}

TEST(OddButterflyTest, VectorKernelsGiveTheScalarKernelsBits) {
  int checked = 0;
  for (OddButterflyKernel kernel : {OddButterflyKernel::kAvx2, OddButterflyKernel::kAvx512}) {
    if (!OddButterflyKernelAvailable(kernel)) continue;
    ++checked;
    for (int64_t r : Radices()) {
      for (uint64_t seed : {1u, 2u, 3u}) {
        Butterfly butterfly(r, seed * 1000 + static_cast<uint64_t>(r));
        std::vector<double> want_re, want_im, re, im;
        butterfly.Apply(OddButterflyKernel::kScalar, want_re, want_im);
        butterfly.Apply(kernel, re, im);
        for (size_t k = 0; k < re.size(); ++k) {
          ASSERT_EQ(std::bit_cast<uint64_t>(re[k]), std::bit_cast<uint64_t>(want_re[k]))
              << "kernel " << static_cast<int>(kernel) << ", r " << r << ", k " << k;
          ASSERT_EQ(std::bit_cast<uint64_t>(im[k]), std::bit_cast<uint64_t>(want_im[k]))
              << "kernel " << static_cast<int>(kernel) << ", r " << r << ", k " << k;
        }
      }
    }
  }
  if (checked == 0) GTEST_SKIP() << "this processor has neither AVX2 nor AVX-512";
}

TEST(OddButterflyTest, TheBestKernelIsOneThisProcessorRuns) {
  EXPECT_TRUE(OddButterflyKernelAvailable(BestOddButterflyKernel()));
  EXPECT_TRUE(OddButterflyKernelAvailable(OddButterflyKernel::kScalar));
}

}  // namespace
}  // namespace forgeval
