// IntMatrix: a rectangular matrix of signed 64-bit integers stored column by column (element
// (r, c) at position r + c * rows), and the exact operations of the complex matrix test.
// All element arithmetic wraps modulo 2^64 (two's complement); nothing saturates or traps.
//
// Every operation returns a newly allocated matrix; the caller owns it. Allocations come
// from the heap (std::bad_alloc when it is exhausted). The determinant allocates one minor
// buffer per expansion of order 3 or more and releases it before it returns.
#ifndef FORGEVAL_STRESS_INT_MATRIX_H_
#define FORGEVAL_STRESS_INT_MATRIX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace forgeval {

class IntMatrix {
 public:
  IntMatrix() = default;
  // A rows x columns matrix of zeros.
  IntMatrix(uint32_t rows, uint32_t columns);

  uint32_t rows() const { return rows_; }
  uint32_t columns() const { return columns_; }

  int64_t& at(uint32_t r, uint32_t c) { return elements_[r + size_t{c} * rows_]; }
  int64_t at(uint32_t r, uint32_t c) const { return elements_[r + size_t{c} * rows_]; }

  // The elements in storage order.
  const std::vector<int64_t>& elements() const { return elements_; }

  bool operator==(const IntMatrix&) const = default;

 private:
  std::vector<int64_t> elements_;
  uint32_t rows_ = 0;
  uint32_t columns_ = 0;
};

// The n x n identity.
IntMatrix MatrixIdentity(uint32_t n);

// The (A.rows * B.rows) x (A.columns * B.columns) matrix with element (i, j) =
// A(i / B.rows, j / B.columns) * B(i % B.rows, j % B.columns).
IntMatrix MatrixKronecker(const IntMatrix& a, const IntMatrix& b);

// The A.columns x A.rows matrix with element (j, i) = A(i, j).
IntMatrix MatrixTranspose(const IntMatrix& a);

// The A.rows x B.columns product; each element the wrapping sum over k = 0, 1, ... of
// A(i, k) * B(k, j), starting from 0. A.columns must equal B.rows.
IntMatrix MatrixMultiply(const IntMatrix& a, const IntMatrix& b);

// The determinant of a square matrix of order at least 2 by full cofactor expansion along
// row 0: the closed form at order 2, one minor buffer per expansion above it. Large orders
// look for the operator's interrupt between their columns. (Order 1 gives its element and
// order 0 gives 1; the test never asks for them.)
int64_t MatrixDeterminant(const IntMatrix& a);

// The identity chain of a square matrix M: W * M * transpose(W) with W = kron(1, kron(1, I))
// and every intermediate allocated and released. The result equals M.
IntMatrix MatrixIdentityChain(const IntMatrix& m);

// The element update at (r, c) of a square matrix X: x <- NOT(x AND 0x5555555555555555);
// x <- x + r*c (as a signed 32-bit product); s <- the wrapping sum of all elements of X in
// storage order, the changed element included; x <- x * s.
void ScrambleElement(IntMatrix& x, uint32_t r, uint32_t c);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_INT_MATRIX_H_
