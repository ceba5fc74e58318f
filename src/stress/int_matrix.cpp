// Wrapping arithmetic is done on uint64_t, whose overflow is defined, and converted back:
// the bits are those of two's-complement 64-bit arithmetic.
#include "stress/int_matrix.h"

#include <cstddef>
#include <new>

#include "stress/worker_frame.h"

namespace forgeval {
namespace {

uint64_t Bits(int64_t value) { return static_cast<uint64_t>(value); }
int64_t Signed(uint64_t bits) { return static_cast<int64_t>(bits); }

// A determinant of this order or more takes tens of milliseconds: look for the operator's
// interrupt between its columns.
constexpr uint32_t kInterruptCheckOrder = 10;

// A minor buffer from the heap. Taken with a direct call of the allocation function, which
// the compiler must keep: a new-expression whose memory does not escape may legally be
// turned into stack space, and then the test would no longer load the heap.
class MinorBuffer {
 public:
  explicit MinorBuffer(size_t count)
      : elements_(static_cast<uint64_t*>(::operator new(count * sizeof(uint64_t)))) {}
  MinorBuffer(const MinorBuffer&) = delete;
  MinorBuffer& operator=(const MinorBuffer&) = delete;
  ~MinorBuffer() { ::operator delete(elements_); }
  uint64_t* get() const { return elements_; }

 private:
  uint64_t* elements_;
};

// The determinant of an order-2 matrix (column by column): A(1,1)*A(0,0) - A(0,1)*A(1,0).
uint64_t Determinant2(const uint64_t* a) { return a[3] * a[0] - a[2] * a[1]; }

// The expansion of order 3, where most of the time goes: its minors are written into the
// buffer and taken from it exactly as at the higher orders, with the loops unrolled.
uint64_t Determinant3(const uint64_t* a) {
  const MinorBuffer minor(4);
  uint64_t* b = minor.get();
  // Rows 1 and 2 of columns 1, 2 | 0, 2 | 0, 1.
  b[0] = a[4], b[1] = a[5], b[2] = a[7], b[3] = a[8];
  uint64_t sum = a[0] * Determinant2(b);
  b[0] = a[1], b[1] = a[2], b[2] = a[7], b[3] = a[8];
  sum -= a[3] * Determinant2(b);
  b[0] = a[1], b[1] = a[2], b[2] = a[4], b[3] = a[5];
  sum += a[6] * Determinant2(b);
  return sum;
}

// The determinant of the order-n matrix a (column by column, n rows), by cofactor expansion
// along row 0.
uint64_t Determinant(const uint64_t* a, uint32_t n) {
  if (n == 2) return Determinant2(a);
  if (n == 3) return Determinant3(a);
  const uint32_t m = n - 1;
  // One buffer for the minors of all n columns, from the heap.
  const MinorBuffer minor(size_t{m} * m);
  uint64_t sum = 0;
  bool plus = true;
  for (uint32_t k = 0; k < n; ++k) {
    if (n >= kInterruptCheckOrder) StopIfRequested();
    // A without row 0 and column k: rows 1..n-1 of each kept column.
    uint64_t* to = minor.get();
    for (uint32_t column = 0; column < n; ++column) {
      if (column == k) continue;
      const uint64_t* from = a + size_t{column} * n + 1;
      for (uint32_t row = 0; row < m; ++row) *to++ = from[row];
    }
    const uint64_t term = a[size_t{k} * n] * Determinant(minor.get(), m);
    sum = plus ? sum + term : sum - term;
    plus = !plus;
  }
  return sum;
}

}  // namespace

IntMatrix::IntMatrix(uint32_t rows, uint32_t columns)
    : elements_(size_t{rows} * columns, 0), rows_(rows), columns_(columns) {}

IntMatrix MatrixIdentity(uint32_t n) {
  IntMatrix identity(n, n);
  for (uint32_t i = 0; i < n; ++i) identity.at(i, i) = 1;
  return identity;
}

IntMatrix MatrixKronecker(const IntMatrix& a, const IntMatrix& b) {
  IntMatrix product(a.rows() * b.rows(), a.columns() * b.columns());
  for (uint32_t j = 0; j < product.columns(); ++j) {
    for (uint32_t i = 0; i < product.rows(); ++i) {
      product.at(i, j) = Signed(Bits(a.at(i / b.rows(), j / b.columns())) *
                                Bits(b.at(i % b.rows(), j % b.columns())));
    }
  }
  return product;
}

IntMatrix MatrixTranspose(const IntMatrix& a) {
  IntMatrix transposed(a.columns(), a.rows());
  for (uint32_t i = 0; i < a.rows(); ++i) {
    for (uint32_t j = 0; j < a.columns(); ++j) transposed.at(j, i) = a.at(i, j);
  }
  return transposed;
}

IntMatrix MatrixMultiply(const IntMatrix& a, const IntMatrix& b) {
  IntMatrix product(a.rows(), b.columns());
  for (uint32_t j = 0; j < b.columns(); ++j) {
    for (uint32_t i = 0; i < a.rows(); ++i) {
      uint64_t sum = 0;
      for (uint32_t k = 0; k < a.columns(); ++k) sum += Bits(a.at(i, k)) * Bits(b.at(k, j));
      product.at(i, j) = Signed(sum);
    }
  }
  return product;
}

int64_t MatrixDeterminant(const IntMatrix& a) {
  // Orders below 2 never come from the test; they get their mathematical value.
  if (a.rows() == 0) return 1;
  if (a.rows() == 1) return a.at(0, 0);
  // The unsigned view of the same elements (signed and unsigned forms may alias).
  return Signed(Determinant(reinterpret_cast<const uint64_t*>(a.elements().data()), a.rows()));
}

IntMatrix MatrixIdentityChain(const IntMatrix& m) {
  const uint32_t n = m.rows();
  IntMatrix identity = MatrixIdentity(n);
  IntMatrix one_first(1, 1);
  one_first.at(0, 0) = 1;
  IntMatrix one_second(1, 1);
  one_second.at(0, 0) = 1;
  IntMatrix k1 = MatrixKronecker(one_first, identity);
  IntMatrix k2 = MatrixKronecker(one_second, k1);
  IntMatrix w = k2;  // an n x n copy
  IntMatrix t = MatrixTranspose(w);
  IntMatrix p = MatrixMultiply(w, m);
  IntMatrix q = MatrixMultiply(p, t);
  IntMatrix result = q;  // a copy; the intermediates go at the end of this scope
  return result;
}

void ScrambleElement(IntMatrix& x, uint32_t r, uint32_t c) {
  uint64_t value = ~(Bits(x.at(r, c)) & 0x5555555555555555u);
  const auto offset = static_cast<int32_t>(r * c);  // the product as a signed 32-bit value
  value += Bits(int64_t{offset});
  x.at(r, c) = Signed(value);
  uint64_t sum = 0;
  for (int64_t element : x.elements()) sum += Bits(element);
  x.at(r, c) = Signed(value * sum);
}

}  // namespace forgeval
