#include "stress/matrix.h"

#include <cinttypes>
#include <cstdio>

#include "stress/worker_frame.h"

namespace forgeval {
namespace {

// M(r, c) = r + c.
IntMatrix StartingMatrix(uint32_t order) {
  IntMatrix m(order, order);
  for (uint32_t c = 0; c < order; ++c) {
    for (uint32_t r = 0; r < order; ++r) m.at(r, c) = r + c;
  }
  return m;
}

void MatrixTestBody(int worker_index) { RunMatrixTest(worker_index); }

}  // namespace

IntMatrix MatrixRouteWithChains(uint32_t order, const std::function<void(double)>& progress) {
  IntMatrix m1 = StartingMatrix(order);
  const double elements = static_cast<double>(order) * order;
  for (uint32_t r = 0; r < order; ++r) {
    for (uint32_t c = 0; c < order; ++c) {
      StopIfRequested();
      if (progress) progress((static_cast<double>(r) * order + c) / elements);
      ScrambleElement(m1, r, c);
      m1 = MatrixIdentityChain(MatrixIdentityChain(MatrixIdentityChain(m1)));
    }
  }
  m1.at(0, 0) = MatrixDeterminant(m1);
  return m1;
}

IntMatrix MatrixRouteWithoutChains(uint32_t order) {
  IntMatrix m2 = StartingMatrix(order);
  for (uint32_t r = 0; r < order; ++r) {
    for (uint32_t c = 0; c < order; ++c) ScrambleElement(m2, r, c);
  }
  m2.at(0, 0) = MatrixDeterminant(m2);
  return m2;
}

std::string MatrixInconsistencyText(int worker_index, int64_t m1, int64_t m2, uint32_t r,
                                    uint32_t c) {
  char text[200];
  snprintf(text, sizeof text,
           "[*** ERROR Thread %d : Matrices are inconsistent( Marix1 = %u, Matrix2 = %" PRIu64
           ", At [%d][%d]) ***]",
           worker_index, static_cast<uint32_t>(m1), static_cast<uint64_t>(m2), static_cast<int>(r),
           static_cast<int>(c));
  return text;
}

void RunMatrixTest(int worker_index, uint32_t order, MatrixResultHook hook) {
  ReportProgress(worker_index, "Starting Complex Matrix test...");
  IntMatrix m1 = MatrixRouteWithChains(
      order, [worker_index](double fraction) { ReportWorkProgress(worker_index, fraction); });
  IntMatrix m2 = MatrixRouteWithoutChains(order);
  if (hook != nullptr) hook(m1, m2);
  ReportWorkerFigure(worker_index, "order", int64_t{order});
  ReportWorkerFigure(worker_index, "element_0_0", m1.at(0, 0));
  ReportProgress(worker_index, "Verifying Complex Matrix...");
  for (uint32_t r = 0; r < order; ++r) {
    for (uint32_t c = 0; c < order; ++c) {
      if (m1.at(r, c) != m2.at(r, c)) {
        ReportTestError(MatrixInconsistencyText(worker_index, m1.at(r, c), m2.at(r, c), r, c));
      }
    }
  }
  ReportProgress(worker_index, "Verifying Complex Matrix...[Done]");
}

uint32_t MatrixTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &MatrixTestBody, CatchClauses::kWithCatchAll);
}

}  // namespace forgeval
