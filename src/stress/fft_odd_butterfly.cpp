// The vector kernels keep one output pair per lane: lane j accumulates z[j] and z[r - j]
// over i = 1 .. h-1 while its root index k = (i * j) mod r advances by j each step. Every
// lane loads its root as one 16-byte (re, im) pair; the pairs of all lanes are combined and
// split into a vector of real parts and one of imaginary parts (on this kind of processor
// that is faster than the gather instructions). P[i] and Q[i] are broadcast, and the four
// accumulations of a lane are exactly the scalar form's (z += g1 + g2 and so on, nothing
// fused). Lanes past the last output compute the output j = 1 again and are not stored. Two
// vectors per block keep enough independent sums in flight to hide the additions' latency.
//
// This file is built with -ffp-contract=off: no multiply-add is ever fused.
#include "stress/fft_odd_butterfly.h"

#include <immintrin.h>

#include <cstddef>

namespace forgeval {
namespace {

void FormSumsAndDifferences(int64_t r, const OddButterflyTables& t, const double* z_re,
                            const double* z_im) {
  const int64_t h = (r + 1) / 2;
  for (int64_t j = 1; j < h; ++j) {
    t.p_re[j] = z_re[j] + z_re[r - j];
    t.p_im[j] = z_im[j] - z_im[r - j];
    t.q_re[j] = z_re[j] - z_re[r - j];
    t.q_im[j] = z_im[j] + z_im[r - j];
  }
}

void AddIntoZero(int64_t r, const OddButterflyTables& t, double* z_re, double* z_im) {
  const int64_t h = (r + 1) / 2;
  for (int64_t j = 1; j < h; ++j) {
    z_re[0] += t.p_re[j];
    z_im[0] += t.q_im[j];
  }
}

void ScalarOutputs(int64_t r, const OddButterflyTables& t, double* z_re, double* z_im) {
  const int64_t h = (r + 1) / 2;
  const double z0_re = z_re[0];
  const double z0_im = z_im[0];
  for (int64_t j = 1; j < h; ++j) {
    double upper_re = z0_re;  // z[r - j]
    double upper_im = z0_im;
    double lower_re = z0_re;  // z[j]
    double lower_im = z0_im;
    int64_t k = j;
    for (int64_t i = 1; i < h; ++i) {
      const double root_re = t.roots[2 * k];
      const double root_im = t.roots[2 * k + 1];
      const double g1 = root_re * t.p_re[i];
      const double g2 = root_im * t.p_im[i];
      const double g3 = root_re * t.q_im[i];
      const double g4 = root_im * t.q_re[i];
      upper_re += g1 + g2;
      upper_im += g3 - g4;
      lower_re += g1 - g2;
      lower_im += g3 + g4;
      k += j;
      if (k >= r) k -= r;
    }
    z_re[r - j] = upper_re;
    z_im[r - j] = upper_im;
    z_re[j] = lower_re;
    z_im[j] = lower_im;
  }
}

// One block of lanes: the output of each lane, its step j and its current root index k.
template <int kLanes>
struct LaneBlock {
  static constexpr size_t kCount = kLanes;
  int64_t step[kCount];
  int64_t k[kCount];
  double upper_re[kCount], upper_im[kCount], lower_re[kCount], lower_im[kCount];

  // Lanes first, first + 1, ...; those at or past h repeat output 1.
  void Start(int64_t first, int64_t h) {
    for (int lane = 0; lane < kLanes; ++lane) {
      const int64_t j = first + lane;
      step[lane] = j < h ? j : 1;
      k[lane] = step[lane];
    }
  }
  // k <- k + j, less r when it reaches r; offsets in doubles of the (re, im) pairs.
  void Advance(int64_t r) {
    for (int lane = 0; lane < kLanes; ++lane) {
      const int64_t next = k[lane] + step[lane];
      k[lane] = next >= r ? next - r : next;
    }
  }
  const double* Root(const double* roots, int lane) const { return roots + 2 * k[lane]; }
  void Store(int64_t r, int64_t h, int64_t first, double* z_re, double* z_im) const {
    for (int lane = 0; lane < kLanes && first + lane < h; ++lane) {
      const int64_t j = first + lane;
      z_re[r - j] = upper_re[lane];
      z_im[r - j] = upper_im[lane];
      z_re[j] = lower_re[lane];
      z_im[j] = lower_im[lane];
    }
  }
};

// The four accumulations of one vector of lanes, for AVX2 and AVX-512 alike.
#define FORGEVAL_ACCUMULATE(mul, add, sub, root_re, root_im, upper_re, upper_im, lower_re, \
                            lower_im)                                                      \
  do {                                                                                     \
    const auto g1 = mul(root_re, p_re);                                                    \
    const auto g2 = mul(root_im, p_im);                                                    \
    const auto g3 = mul(root_re, q_im);                                                    \
    const auto g4 = mul(root_im, q_re);                                                    \
    upper_re = add(upper_re, add(g1, g2));                                                 \
    upper_im = add(upper_im, sub(g3, g4));                                                 \
    lower_re = add(lower_re, sub(g1, g2));                                                 \
    lower_im = add(lower_im, add(g3, g4));                                                 \
  } while (false)

// Roots of lanes a and b as one vector [a.re, a.im, b.re, b.im].
__attribute__((target("avx2"))) inline __m256d TwoRoots(const double* a, const double* b) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(a)), _mm_load_pd(b), 1);
}

__attribute__((target("avx2"))) void Avx2Outputs(int64_t r, const OddButterflyTables& t,
                                                 double* z_re, double* z_im) {
  constexpr int kLanes = 8;  // two vectors of four
  const int64_t h = (r + 1) / 2;
  const __m256d z0_re = _mm256_set1_pd(z_re[0]);
  const __m256d z0_im = _mm256_set1_pd(z_im[0]);
  LaneBlock<kLanes> block;
  for (int64_t first = 1; first < h; first += kLanes) {
    block.Start(first, h);
    __m256d upper_re_a = z0_re, upper_im_a = z0_im, lower_re_a = z0_re, lower_im_a = z0_im;
    __m256d upper_re_b = z0_re, upper_im_b = z0_im, lower_re_b = z0_re, lower_im_b = z0_im;
    for (int64_t i = 1; i < h; ++i) {
      // [0, 2] and [1, 3] unpack to lanes 0, 1, 2, 3 in order.
      const __m256d even_a = TwoRoots(block.Root(t.roots, 0), block.Root(t.roots, 2));
      const __m256d odd_a = TwoRoots(block.Root(t.roots, 1), block.Root(t.roots, 3));
      const __m256d even_b = TwoRoots(block.Root(t.roots, 4), block.Root(t.roots, 6));
      const __m256d odd_b = TwoRoots(block.Root(t.roots, 5), block.Root(t.roots, 7));
      block.Advance(r);
      const __m256d root_re_a = _mm256_unpacklo_pd(even_a, odd_a);
      const __m256d root_im_a = _mm256_unpackhi_pd(even_a, odd_a);
      const __m256d root_re_b = _mm256_unpacklo_pd(even_b, odd_b);
      const __m256d root_im_b = _mm256_unpackhi_pd(even_b, odd_b);
      const __m256d p_re = _mm256_broadcast_sd(&t.p_re[i]);
      const __m256d p_im = _mm256_broadcast_sd(&t.p_im[i]);
      const __m256d q_re = _mm256_broadcast_sd(&t.q_re[i]);
      const __m256d q_im = _mm256_broadcast_sd(&t.q_im[i]);
      FORGEVAL_ACCUMULATE(_mm256_mul_pd, _mm256_add_pd, _mm256_sub_pd, root_re_a, root_im_a,
                          upper_re_a, upper_im_a, lower_re_a, lower_im_a);
      FORGEVAL_ACCUMULATE(_mm256_mul_pd, _mm256_add_pd, _mm256_sub_pd, root_re_b, root_im_b,
                          upper_re_b, upper_im_b, lower_re_b, lower_im_b);
    }
    _mm256_storeu_pd(block.upper_re, upper_re_a);
    _mm256_storeu_pd(block.upper_re + 4, upper_re_b);
    _mm256_storeu_pd(block.upper_im, upper_im_a);
    _mm256_storeu_pd(block.upper_im + 4, upper_im_b);
    _mm256_storeu_pd(block.lower_re, lower_re_a);
    _mm256_storeu_pd(block.lower_re + 4, lower_re_b);
    _mm256_storeu_pd(block.lower_im, lower_im_a);
    _mm256_storeu_pd(block.lower_im + 4, lower_im_b);
    block.Store(r, h, first, z_re, z_im);
  }
}

// The AVX-512 intrinsics of GCC 12 pass an undefined vector as the unused source of their
// unmasked forms, which its initialisation analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Roots of lanes a, b, c, d as one vector of four (re, im) pairs.
__attribute__((target("avx2,avx512f"))) inline __m512d FourRoots(const double* a, const double* b,
                                                                 const double* c, const double* d) {
  return _mm512_insertf64x4(_mm512_castpd256_pd512(TwoRoots(a, b)), TwoRoots(c, d), 1);
}

__attribute__((target("avx2,avx512f"))) void Avx512Outputs(int64_t r, const OddButterflyTables& t,
                                                           double* z_re, double* z_im) {
  constexpr int kLanes = 16;  // two vectors of eight
  const int64_t h = (r + 1) / 2;
  const __m512d z0_re = _mm512_set1_pd(z_re[0]);
  const __m512d z0_im = _mm512_set1_pd(z_im[0]);
  LaneBlock<kLanes> block;
  for (int64_t first = 1; first < h; first += kLanes) {
    block.Start(first, h);
    __m512d upper_re_a = z0_re, upper_im_a = z0_im, lower_re_a = z0_re, lower_im_a = z0_im;
    __m512d upper_re_b = z0_re, upper_im_b = z0_im, lower_re_b = z0_re, lower_im_b = z0_im;
    for (int64_t i = 1; i < h; ++i) {
      const double* roots = t.roots;
      // [0, 2, 4, 6] and [1, 3, 5, 7] unpack to lanes 0 .. 7 in order.
      const __m512d even_a = FourRoots(block.Root(roots, 0), block.Root(roots, 2),
                                       block.Root(roots, 4), block.Root(roots, 6));
      const __m512d odd_a = FourRoots(block.Root(roots, 1), block.Root(roots, 3),
                                      block.Root(roots, 5), block.Root(roots, 7));
      const __m512d even_b = FourRoots(block.Root(roots, 8), block.Root(roots, 10),
                                       block.Root(roots, 12), block.Root(roots, 14));
      const __m512d odd_b = FourRoots(block.Root(roots, 9), block.Root(roots, 11),
                                      block.Root(roots, 13), block.Root(roots, 15));
      block.Advance(r);
      const __m512d root_re_a = _mm512_unpacklo_pd(even_a, odd_a);
      const __m512d root_im_a = _mm512_unpackhi_pd(even_a, odd_a);
      const __m512d root_re_b = _mm512_unpacklo_pd(even_b, odd_b);
      const __m512d root_im_b = _mm512_unpackhi_pd(even_b, odd_b);
      const __m512d p_re = _mm512_set1_pd(t.p_re[i]);
      const __m512d p_im = _mm512_set1_pd(t.p_im[i]);
      const __m512d q_re = _mm512_set1_pd(t.q_re[i]);
      const __m512d q_im = _mm512_set1_pd(t.q_im[i]);
      FORGEVAL_ACCUMULATE(_mm512_mul_pd, _mm512_add_pd, _mm512_sub_pd, root_re_a, root_im_a,
                          upper_re_a, upper_im_a, lower_re_a, lower_im_a);
      FORGEVAL_ACCUMULATE(_mm512_mul_pd, _mm512_add_pd, _mm512_sub_pd, root_re_b, root_im_b,
                          upper_re_b, upper_im_b, lower_re_b, lower_im_b);
    }
    _mm512_storeu_pd(block.upper_re, upper_re_a);
    _mm512_storeu_pd(block.upper_re + 8, upper_re_b);
    _mm512_storeu_pd(block.upper_im, upper_im_a);
    _mm512_storeu_pd(block.upper_im + 8, upper_im_b);
    _mm512_storeu_pd(block.lower_re, lower_re_a);
    _mm512_storeu_pd(block.lower_re + 8, lower_re_b);
    _mm512_storeu_pd(block.lower_im, lower_im_a);
    _mm512_storeu_pd(block.lower_im + 8, lower_im_b);
    block.Store(r, h, first, z_re, z_im);
  }
}

#pragma GCC diagnostic pop

#undef FORGEVAL_ACCUMULATE

}  // namespace

bool OddButterflyKernelAvailable(OddButterflyKernel kernel) {
  switch (kernel) {
    case OddButterflyKernel::kScalar:
      return true;
    case OddButterflyKernel::kAvx2:
      return __builtin_cpu_supports("avx2");
    case OddButterflyKernel::kAvx512:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f");
  }
  return false;
}

const char* OddButterflyKernelName(OddButterflyKernel kernel) {
  switch (kernel) {
    case OddButterflyKernel::kScalar:
      return "scalar";
    case OddButterflyKernel::kAvx2:
      return "avx2";
    case OddButterflyKernel::kAvx512:
      return "avx512";
  }
  return "scalar";
}

OddButterflyKernel BestOddButterflyKernel() {
  if (OddButterflyKernelAvailable(OddButterflyKernel::kAvx512)) return OddButterflyKernel::kAvx512;
  if (OddButterflyKernelAvailable(OddButterflyKernel::kAvx2)) return OddButterflyKernel::kAvx2;
  return OddButterflyKernel::kScalar;
}

void OddButterfly(OddButterflyKernel kernel, int64_t r, const OddButterflyTables& tables,
                  double* z_re, double* z_im) {
  FormSumsAndDifferences(r, tables, z_re, z_im);
  switch (kernel) {
    case OddButterflyKernel::kScalar:
      ScalarOutputs(r, tables, z_re, z_im);
      break;
    case OddButterflyKernel::kAvx2:
      Avx2Outputs(r, tables, z_re, z_im);
      break;
    case OddButterflyKernel::kAvx512:
      Avx512Outputs(r, tables, z_re, z_im);
      break;
  }
  AddIntoZero(r, tables, z_re, z_im);
}

}  // namespace forgeval
