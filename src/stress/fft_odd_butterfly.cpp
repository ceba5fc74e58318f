// The vector kernels keep one output pair per lane: lane j accumulates z[j] and z[r - j]
// over i = 1 .. h-1 while its root index k = (i * j) mod r advances by j each step. The roots
// are gathered by index, P[i] and Q[i] are broadcast, and the four accumulations of a lane
// are exactly the scalar form's (z += g1 + g2 and so on, nothing fused). Lanes past the last
// output compute the output j = 1 again and are not stored. Two vectors per block keep
// enough independent sums in flight to hide the latency of the additions.
//
// This file is built with -ffp-contract=off: no multiply-add is ever fused.
#include "stress/fft_odd_butterfly.h"

#include <immintrin.h>

namespace forgeval {
namespace {

// The three steps that every kernel shares: P and Q, and the final sums into z0.
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

// Outputs j = first .. h-1, one at a time.
void ScalarOutputs(int64_t r, int64_t first, const OddButterflyTables& t, double* z_re,
                   double* z_im) {
  const int64_t h = (r + 1) / 2;
  const double z0_re = z_re[0];
  const double z0_im = z_im[0];
  for (int64_t j = first; j < h; ++j) {
    double upper_re = z0_re;  // z[r - j]
    double upper_im = z0_im;
    double lower_re = z0_re;  // z[j]
    double lower_im = z0_im;
    int64_t k = j;
    for (int64_t i = 1; i < h; ++i) {
      const double g1 = t.roots_re[k] * t.p_re[i];
      const double g2 = t.roots_im[k] * t.p_im[i];
      const double g3 = t.roots_re[k] * t.q_im[i];
      const double g4 = t.roots_im[k] * t.q_re[i];
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

// Stores the lanes of one vector block that name real outputs.
void StoreLanes(int64_t r, int64_t h, int64_t first, int lanes, const double* upper_re,
                const double* upper_im, const double* lower_re, const double* lower_im,
                double* z_re, double* z_im) {
  for (int lane = 0; lane < lanes; ++lane) {
    const int64_t j = first + lane;
    if (j >= h) break;
    z_re[r - j] = upper_re[lane];
    z_im[r - j] = upper_im[lane];
    z_re[j] = lower_re[lane];
    z_im[j] = lower_im[lane];
  }
}

__attribute__((target("avx2"))) void Avx2Outputs(int64_t r, const OddButterflyTables& t,
                                                 double* z_re, double* z_im) {
  constexpr int kLanes = 8;  // two vectors of four
  const int64_t h = (r + 1) / 2;
  const auto radix = static_cast<int32_t>(r);
  const __m128i radix_v = _mm_set1_epi32(radix);
  const __m128i radix_less_one = _mm_set1_epi32(radix - 1);
  const __m256d z0_re = _mm256_set1_pd(z_re[0]);
  const __m256d z0_im = _mm256_set1_pd(z_im[0]);
  // Gathers with a zero source and every lane selected: the plain gather's undefined source
  // only upsets the compiler's initialisation analysis.
  const __m256d zero = _mm256_setzero_pd();
  const __m256d all_lanes = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  for (int64_t first = 1; first < h; first += kLanes) {
    alignas(32) int32_t steps[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
      const int64_t j = first + lane;
      steps[lane] = static_cast<int32_t>(j < h ? j : 1);
    }
    const __m128i step_a = _mm_load_si128(reinterpret_cast<const __m128i*>(steps));
    const __m128i step_b = _mm_load_si128(reinterpret_cast<const __m128i*>(steps + 4));
    __m128i k_a = step_a;
    __m128i k_b = step_b;
    __m256d upper_re_a = z0_re, upper_im_a = z0_im, lower_re_a = z0_re, lower_im_a = z0_im;
    __m256d upper_re_b = z0_re, upper_im_b = z0_im, lower_re_b = z0_re, lower_im_b = z0_im;
    for (int64_t i = 1; i < h; ++i) {
      const __m256d p_re = _mm256_broadcast_sd(&t.p_re[i]);
      const __m256d p_im = _mm256_broadcast_sd(&t.p_im[i]);
      const __m256d q_re = _mm256_broadcast_sd(&t.q_re[i]);
      const __m256d q_im = _mm256_broadcast_sd(&t.q_im[i]);
      const __m256d root_re_a = _mm256_mask_i32gather_pd(zero, t.roots_re, k_a, all_lanes, 8);
      const __m256d root_im_a = _mm256_mask_i32gather_pd(zero, t.roots_im, k_a, all_lanes, 8);
      const __m256d root_re_b = _mm256_mask_i32gather_pd(zero, t.roots_re, k_b, all_lanes, 8);
      const __m256d root_im_b = _mm256_mask_i32gather_pd(zero, t.roots_im, k_b, all_lanes, 8);
      const __m256d g1_a = _mm256_mul_pd(root_re_a, p_re);
      const __m256d g2_a = _mm256_mul_pd(root_im_a, p_im);
      const __m256d g3_a = _mm256_mul_pd(root_re_a, q_im);
      const __m256d g4_a = _mm256_mul_pd(root_im_a, q_re);
      const __m256d g1_b = _mm256_mul_pd(root_re_b, p_re);
      const __m256d g2_b = _mm256_mul_pd(root_im_b, p_im);
      const __m256d g3_b = _mm256_mul_pd(root_re_b, q_im);
      const __m256d g4_b = _mm256_mul_pd(root_im_b, q_re);
      upper_re_a = _mm256_add_pd(upper_re_a, _mm256_add_pd(g1_a, g2_a));
      upper_im_a = _mm256_add_pd(upper_im_a, _mm256_sub_pd(g3_a, g4_a));
      lower_re_a = _mm256_add_pd(lower_re_a, _mm256_sub_pd(g1_a, g2_a));
      lower_im_a = _mm256_add_pd(lower_im_a, _mm256_add_pd(g3_a, g4_a));
      upper_re_b = _mm256_add_pd(upper_re_b, _mm256_add_pd(g1_b, g2_b));
      upper_im_b = _mm256_add_pd(upper_im_b, _mm256_sub_pd(g3_b, g4_b));
      lower_re_b = _mm256_add_pd(lower_re_b, _mm256_sub_pd(g1_b, g2_b));
      lower_im_b = _mm256_add_pd(lower_im_b, _mm256_add_pd(g3_b, g4_b));
      // k <- k + j, less r when it reaches r.
      k_a = _mm_add_epi32(k_a, step_a);
      k_b = _mm_add_epi32(k_b, step_b);
      k_a = _mm_sub_epi32(k_a, _mm_and_si128(_mm_cmpgt_epi32(k_a, radix_less_one), radix_v));
      k_b = _mm_sub_epi32(k_b, _mm_and_si128(_mm_cmpgt_epi32(k_b, radix_less_one), radix_v));
    }
    alignas(32) double upper_re[kLanes], upper_im[kLanes], lower_re[kLanes], lower_im[kLanes];
    _mm256_store_pd(upper_re, upper_re_a);
    _mm256_store_pd(upper_re + 4, upper_re_b);
    _mm256_store_pd(upper_im, upper_im_a);
    _mm256_store_pd(upper_im + 4, upper_im_b);
    _mm256_store_pd(lower_re, lower_re_a);
    _mm256_store_pd(lower_re + 4, lower_re_b);
    _mm256_store_pd(lower_im, lower_im_a);
    _mm256_store_pd(lower_im + 4, lower_im_b);
    StoreLanes(r, h, first, kLanes, upper_re, upper_im, lower_re, lower_im, z_re, z_im);
  }
}

__attribute__((target("avx2,avx512f"))) void Avx512Outputs(int64_t r, const OddButterflyTables& t,
                                                           double* z_re, double* z_im) {
  constexpr int kLanes = 16;  // two vectors of eight
  const int64_t h = (r + 1) / 2;
  const auto radix = static_cast<int32_t>(r);
  const __m256i radix_v = _mm256_set1_epi32(radix);
  const __m256i radix_less_one = _mm256_set1_epi32(radix - 1);
  const __m512d z0_re = _mm512_set1_pd(z_re[0]);
  const __m512d z0_im = _mm512_set1_pd(z_im[0]);
  const __m512d zero = _mm512_setzero_pd();
  for (int64_t first = 1; first < h; first += kLanes) {
    alignas(64) int32_t steps[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
      const int64_t j = first + lane;
      steps[lane] = static_cast<int32_t>(j < h ? j : 1);
    }
    const __m256i step_a = _mm256_load_si256(reinterpret_cast<const __m256i*>(steps));
    const __m256i step_b = _mm256_load_si256(reinterpret_cast<const __m256i*>(steps + 8));
    __m256i k_a = step_a;
    __m256i k_b = step_b;
    __m512d upper_re_a = z0_re, upper_im_a = z0_im, lower_re_a = z0_re, lower_im_a = z0_im;
    __m512d upper_re_b = z0_re, upper_im_b = z0_im, lower_re_b = z0_re, lower_im_b = z0_im;
    for (int64_t i = 1; i < h; ++i) {
      const __m512d p_re = _mm512_set1_pd(t.p_re[i]);
      const __m512d p_im = _mm512_set1_pd(t.p_im[i]);
      const __m512d q_re = _mm512_set1_pd(t.q_re[i]);
      const __m512d q_im = _mm512_set1_pd(t.q_im[i]);
      const __m512d root_re_a = _mm512_mask_i32gather_pd(zero, 0xFF, k_a, t.roots_re, 8);
      const __m512d root_im_a = _mm512_mask_i32gather_pd(zero, 0xFF, k_a, t.roots_im, 8);
      const __m512d root_re_b = _mm512_mask_i32gather_pd(zero, 0xFF, k_b, t.roots_re, 8);
      const __m512d root_im_b = _mm512_mask_i32gather_pd(zero, 0xFF, k_b, t.roots_im, 8);
      const __m512d g1_a = _mm512_mul_pd(root_re_a, p_re);
      const __m512d g2_a = _mm512_mul_pd(root_im_a, p_im);
      const __m512d g3_a = _mm512_mul_pd(root_re_a, q_im);
      const __m512d g4_a = _mm512_mul_pd(root_im_a, q_re);
      const __m512d g1_b = _mm512_mul_pd(root_re_b, p_re);
      const __m512d g2_b = _mm512_mul_pd(root_im_b, p_im);
      const __m512d g3_b = _mm512_mul_pd(root_re_b, q_im);
      const __m512d g4_b = _mm512_mul_pd(root_im_b, q_re);
      upper_re_a = _mm512_add_pd(upper_re_a, _mm512_add_pd(g1_a, g2_a));
      upper_im_a = _mm512_add_pd(upper_im_a, _mm512_sub_pd(g3_a, g4_a));
      lower_re_a = _mm512_add_pd(lower_re_a, _mm512_sub_pd(g1_a, g2_a));
      lower_im_a = _mm512_add_pd(lower_im_a, _mm512_add_pd(g3_a, g4_a));
      upper_re_b = _mm512_add_pd(upper_re_b, _mm512_add_pd(g1_b, g2_b));
      upper_im_b = _mm512_add_pd(upper_im_b, _mm512_sub_pd(g3_b, g4_b));
      lower_re_b = _mm512_add_pd(lower_re_b, _mm512_sub_pd(g1_b, g2_b));
      lower_im_b = _mm512_add_pd(lower_im_b, _mm512_add_pd(g3_b, g4_b));
      k_a = _mm256_add_epi32(k_a, step_a);
      k_b = _mm256_add_epi32(k_b, step_b);
      k_a =
          _mm256_sub_epi32(k_a, _mm256_and_si256(_mm256_cmpgt_epi32(k_a, radix_less_one), radix_v));
      k_b =
          _mm256_sub_epi32(k_b, _mm256_and_si256(_mm256_cmpgt_epi32(k_b, radix_less_one), radix_v));
    }
    alignas(64) double upper_re[kLanes], upper_im[kLanes], lower_re[kLanes], lower_im[kLanes];
    _mm512_store_pd(upper_re, upper_re_a);
    _mm512_store_pd(upper_re + 8, upper_re_b);
    _mm512_store_pd(upper_im, upper_im_a);
    _mm512_store_pd(upper_im + 8, upper_im_b);
    _mm512_store_pd(lower_re, lower_re_a);
    _mm512_store_pd(lower_re + 8, lower_re_b);
    _mm512_store_pd(lower_im, lower_im_a);
    _mm512_store_pd(lower_im + 8, lower_im_b);
    StoreLanes(r, h, first, kLanes, upper_re, upper_im, lower_re, lower_im, z_re, z_im);
  }
}

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
      ScalarOutputs(r, 1, tables, z_re, z_im);
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
