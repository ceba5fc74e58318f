#include "stress/cache_test.h"

#include <cstdio>
#include <cstring>

#include "platform/memory_budget.h"
#include "stress/compare_kernels.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

struct CachePhase {
  const char* name;  // "L1" or "L2", as the texts show it
  size_t size;
};

constexpr CachePhase kPhases[] = {{"L1", kL1CacheBufferBytes}, {"L2", kL2CacheBufferBytes}};

void RunPhase(int index, const CachePhase& phase) {
  platform::BudgetedBlock buffer(phase.size);
  char text[96];
  if (!buffer) {
    snprintf(text, sizeof text,
             "[*** ERROR Thread %d : Occured while allocating memory for %s Cache ***]", index,
             phase.name);
    ReportTestError(text);
  }
  ReportProgress(index, "Testing %s Cache...", phase.name);
  if (CheckCacheBuffer(index, static_cast<uint8_t*>(buffer.data()), phase.size) != nullptr) {
    snprintf(text, sizeof text, "[***ERROR Thread %d : Occured at %s Cache ***]", index,
             phase.name);
    ReportTestError(text);
  }
  // Releasing a budgeted block cannot fail, so the "[Done]" announcement always follows.
  buffer = platform::BudgetedBlock();
  ReportProgress(index, "Testing %s Cache...[Done]", phase.name);
}

void CacheTestBody(int index) {
  const WorkStopwatch stopwatch;
  double bytes_checked = 0;
  for (const CachePhase& phase : kPhases) {
    RunPhase(index, phase);
    bytes_checked += 256.0 * kCacheReadBacks * static_cast<double>(phase.size);
  }
  ReportWorkerFigure(index, "bytes_checked", static_cast<int64_t>(bytes_checked));
  ReportWorkerFigure(index, "gb_per_s", stopwatch.Rate(bytes_checked, 1e9));
}

}  // namespace

uint32_t CacheTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &CacheTestBody, CatchClauses::kStandard);
}

const uint8_t* CheckCacheBuffer(int worker_index, uint8_t* data, size_t size) {
  const CompareKernels& kernels = BestKernels();
  for (unsigned value = 0; value <= 255; ++value) {
    StopIfInterrupted();
    ReportWorkProgress(worker_index, value / 256.0);
    memset(data, static_cast<int>(value), size);
    const auto expected = static_cast<uint8_t>(value);
    for (int read_back = 0; read_back < kCacheReadBacks; ++read_back) {
      BetweenPasses({PassKind::kCacheFilled, worker_index, 0, value, read_back, data, size});
      if (const uint8_t* bad = kernels.find_byte_mismatch(data, size, expected)) return bad;
    }
  }
  return nullptr;
}

}  // namespace forgeval
