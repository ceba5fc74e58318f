// The general odd butterfly of the fast Fourier transform (radix 1 and the primes from 7 up),
// which dominates the transform test's time: its cost grows with the square of the radix.
//
// With h = (r + 1) / 2, the butterfly forms the symmetric sums P[j] and differences Q[j] of
// z[j] and z[r - j] (j = 1 .. h-1), then computes every output pair z[j], z[r - j] as z0 plus
// a sum over i = 1 .. h-1 of products of roots[(i * j) mod r] with P[i] and Q[i], and
// finally adds the P and Q terms into z0. Each output's sum is taken in the order of i and
// each step rounds exactly as written; the outputs do not depend on each other, so the
// vector kernels compute several outputs side by side (one output per vector lane) and give
// the same bits as the scalar form. No kernel contracts a multiply and an add.
//
// The roots an output needs lie r apart in no pattern, so each lane loads its own (re, im)
// pair; the pairs are then split into a vector of real and one of imaginary parts.
//
// Kernels: scalar everywhere; AVX2 and AVX-512 where the processor has them.
#ifndef FORGEVAL_STRESS_FFT_ODD_BUTTERFLY_H_
#define FORGEVAL_STRESS_FFT_ODD_BUTTERFLY_H_

#include <cstdint>

namespace forgeval {

enum class OddButterflyKernel { kScalar, kAvx2, kAvx512 };

// The fastest kernel this processor runs.
OddButterflyKernel BestOddButterflyKernel();

// Whether this processor runs `kernel`.
bool OddButterflyKernelAvailable(OddButterflyKernel kernel);

// The kernel's name in the run record: "scalar", "avx2" or "avx512".
const char* OddButterflyKernelName(OddButterflyKernel kernel);

// The operands of one butterfly. `roots` holds the r powers of e^(-2 pi i / r) as (re, im)
// pairs, 16-byte aligned (roots[2k], roots[2k + 1]); p_re .. q_im have h entries (index 0
// unused) and are the butterfly's scratch.
struct OddButterflyTables {
  const double* roots;
  double* p_re;
  double* p_im;
  double* q_re;
  double* q_im;
};

// Applies the butterfly of odd radix r to z_re[0..r), z_im[0..r) in place.
void OddButterfly(OddButterflyKernel kernel, int64_t r, const OddButterflyTables& tables,
                  double* z_re, double* z_im);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_FFT_ODD_BUTTERFLY_H_
