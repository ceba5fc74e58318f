#include "stress/fft.h"

#include <cstdio>

#include "stress/worker_frame.h"

namespace forgeval {
namespace {

void FftTestBody(int worker_index) { RunFftTest(worker_index); }

}  // namespace

double FftRun(FftState& state, int64_t last_length, const std::function<void(double)>& progress) {
  const FftSignal signal;
  const double last = static_cast<double>(last_length);
  double sum = 0.0;
  for (int64_t n = 1; n <= last_length; ++n) {
    StopIfRequested();
    if (progress) progress(static_cast<double>(n - 1) * static_cast<double>(n - 1) / (last * last));
    sum = FftPrecision(state, n, signal) + sum;
  }
  return sum;
}

std::string FftInconsistencyText(int worker_index, double sum0, double sum1) {
  // "%f" of a double can take over 300 digits.
  char text[1024];
  snprintf(text, sizeof text,
           "[*** ERROR Thread %d : Fast Fourier Transform results are inconsistent( %f != %f) "
           "***]",
           worker_index, sum0, sum1);
  return text;
}

void RunFftTest(int worker_index, int64_t last_length, FftSumsHook hook) {
  ReportProgress(worker_index, "Starting Fast Fourier Transform test...");
  FftState state;
  double sums[2] = {0.0, 0.0};
  for (int run = 0; run < 2; ++run) {
    sums[run] = FftRun(state, last_length, [worker_index, run](double fraction) {
      ReportWorkProgress(worker_index, (run + fraction) / 2);
    });
  }
  if (hook != nullptr) hook(sums[0], sums[1]);
  // Both sums go to the run record before they are compared, so a failed worker's record
  // shows the two values bit for bit.
  ReportWorkerFigure(worker_index, "last_length", last_length);
  for (int run = 0; run < 2; ++run) {
    const std::string name = "sum_" + std::to_string(run);
    ReportWorkerFigure(worker_index, name, DoubleText(sums[run]));
    ReportWorkerFigure(worker_index, name + "_bits", DoubleBits(sums[run]));
  }
  if (!(sums[0] == sums[1])) {
    ReportTestError(FftInconsistencyText(worker_index, sums[0], sums[1]));
  }
  ReportProgress(worker_index, "Fast Fourier Transform test...[Done]");
}

uint32_t FftTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &FftTestBody, CatchClauses::kStandard);
}

}  // namespace forgeval
