// The complex matrix test: exact 64-bit integer arithmetic on a 12 x 12 matrix along two
// routes that must end in the same values. M1 gets the 144 element updates, each followed by
// three identity chains (which leave it unchanged); M2 gets the element updates alone. Each
// then receives its determinant in element (0, 0), and the two must agree everywhere.
//
// Progress steps: "Starting Complex Matrix test..." (no "[Done]"), then
// "Verifying Complex Matrix..." and "Verifying Complex Matrix...[Done]". A difference ends the
// worker with
//   "[*** ERROR Thread %d : Matrices are inconsistent( Marix1 = %I32u, Matrix2 = %I64u,
//    At [%d][%d]) ***]"
// (M1's element as its low 32 bits unsigned, M2's in full unsigned, then row and column).
// The worker frame also catches any other exception for this test.
#ifndef FORGEVAL_STRESS_MATRIX_H_
#define FORGEVAL_STRESS_MATRIX_H_

#include <cstdint>
#include <functional>
#include <string>

#include "stress/int_matrix.h"

namespace forgeval {

inline constexpr uint32_t kMatrixOrder = 12;

// The worker entry: the argument is the worker index.
uint32_t MatrixTestThread(uintptr_t argument);

// A seam for the test suite: called with both finished matrices before they are compared.
using MatrixResultHook = void (*)(IntMatrix& m1, IntMatrix& m2);

// The body for one worker; runs inside the worker frame. The test proper works at order
// kMatrixOrder; the test suite also runs it smaller.
void RunMatrixTest(int worker_index, uint32_t order = kMatrixOrder,
                   MatrixResultHook hook = nullptr);

// The two routes from M(r, c) = r + c: M1 with its identity chains and M2 without, each with
// its determinant in element (0, 0).
// `progress`, when given, receives how far through the elements the route is (0 to 1).
IntMatrix MatrixRouteWithChains(uint32_t order = kMatrixOrder,
                                const std::function<void(double)>& progress = {});
IntMatrix MatrixRouteWithoutChains(uint32_t order = kMatrixOrder);

// The text of a difference at (r, c).
std::string MatrixInconsistencyText(int worker_index, int64_t m1, int64_t m2, uint32_t r,
                                    uint32_t c);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_MATRIX_H_
