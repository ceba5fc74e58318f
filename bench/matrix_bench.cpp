// The complex matrix test's cost is its two 12 x 12 determinants by full cofactor expansion
// with a heap-allocated minor buffer per expansion. The program's determinant is measured
// against the same expansion written plainly (row by row, element by element, malloc and
// free around each expansion) on the test's own scrambled matrix; the target is at most 1.1
// times the plain form. The identity-chain route is measured for the rest of the test.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "stress/int_matrix.h"
#include "stress/matrix.h"

namespace {

using forgeval::IntMatrix;

// The plain expansion along row 0, on a row-major copy.
uint64_t PlainDeterminant(const uint64_t* a, int n) {
  if (n == 2) return a[1 * 2 + 1] * a[0] - a[0 * 2 + 1] * a[1 * 2 + 0];
  const int m = n - 1;
  auto* minor = static_cast<uint64_t*>(malloc(sizeof(uint64_t) * static_cast<size_t>(m * m)));
  if (minor == nullptr) throw std::bad_alloc();
  uint64_t sum = 0;
  uint64_t sign = 1;
  for (int k = 0; k < n; ++k) {
    for (int r = 1; r < n; ++r) {
      int to = 0;
      for (int c = 0; c < n; ++c) {
        if (c != k) minor[(r - 1) * m + to++] = a[r * n + c];
      }
    }
    sum += sign * a[k] * PlainDeterminant(minor, m);
    sign = 0 - sign;
  }
  free(minor);
  return sum;
}

// The matrix the test's second route takes its determinant of.
IntMatrix TestMatrix() {
  IntMatrix m(forgeval::kMatrixOrder, forgeval::kMatrixOrder);
  for (uint32_t c = 0; c < m.columns(); ++c) {
    for (uint32_t r = 0; r < m.rows(); ++r) m.at(r, c) = r + c;
  }
  for (uint32_t r = 0; r < m.rows(); ++r) {
    for (uint32_t c = 0; c < m.columns(); ++c) forgeval::ScrambleElement(m, r, c);
  }
  return m;
}

void BM_MatrixDeterminant(benchmark::State& state) {
  const IntMatrix m = TestMatrix();
  for (auto _ : state) benchmark::DoNotOptimize(forgeval::MatrixDeterminant(m));
}
BENCHMARK(BM_MatrixDeterminant)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PlainDeterminant(benchmark::State& state) {
  const IntMatrix m = TestMatrix();
  uint64_t rows[forgeval::kMatrixOrder * forgeval::kMatrixOrder];
  for (uint32_t r = 0; r < m.rows(); ++r) {
    for (uint32_t c = 0; c < m.columns(); ++c) {
      rows[r * m.columns() + c] = static_cast<uint64_t>(m.at(r, c));
    }
  }
  uint64_t determinant = 0;
  for (auto _ : state) {
    determinant = PlainDeterminant(rows, forgeval::kMatrixOrder);
    benchmark::DoNotOptimize(determinant);
  }
  // Both forms must give the same value; the program's is worked out once per process.
  static const int64_t program_value = forgeval::MatrixDeterminant(m);
  if (static_cast<int64_t>(determinant) != program_value) state.SkipWithError("values differ");
}
BENCHMARK(BM_PlainDeterminant)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
