#include "stress/cache.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cache_sizes.h"
#include "platform/memory_budget.h"
#include "platform/thread.h"
#include "run/ini_file.h"
#include "stress/compare_kernels.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

struct CachePhase {
  const char* name;    // "L1" or "L2", as the texts show it
  const char* figure;  // "l1" or "l2", the prefix of its run record figures
  int level;
  size_t fixed_size;
};

constexpr CachePhase kPhases[] = {{"L1", "l1", 1, kL1CacheBufferBytes},
                                  {"L2", "l2", 2, kL2CacheBufferBytes}};

// The processor the dispatch pins this worker to: its entry of the CPU list, as the dispatch
// reads it. A worker that could not be pinned runs wherever it is.
int WorkerProcessor(int index) {
  const std::vector<std::string> entries = IniReadList("Cache", "CPU");
  const auto position = static_cast<size_t>(index);
  const int cpu = position < entries.size() ? ParseSigned32(entries[position]) : 0;
  return cpu >= 0 ? cpu : platform::CurrentProcessor();
}

// Runs one phase; returns the bytes it read back.
double RunPhase(int index, int processor, const CachePhase& phase) {
  const std::optional<uint64_t> cache = platform::DataCacheBytes(processor, phase.level);
  const size_t size = CacheBufferBytes(phase.fixed_size, cache);
  const std::string figure(phase.figure);
  ReportWorkerFigure(index, figure + "_buffer_bytes", static_cast<int64_t>(size));
  ReportWorkerFigure(index, figure + "_buffer_from",
                     std::string(size == phase.fixed_size ? "fixed" : "cache"));
  if (cache) ReportWorkerFigure(index, figure + "_cache_bytes", static_cast<int64_t>(*cache));

  platform::BudgetedBlock buffer(size);
  char text[96];
  if (!buffer) {
    snprintf(text, sizeof text,
             "[*** ERROR Thread %d : Occured while allocating memory for %s Cache ***]", index,
             phase.name);
    ReportTestError(text);
  }
  ReportProgress(index, "Testing %s Cache...", phase.name);
  if (CheckCacheBuffer(index, static_cast<uint8_t*>(buffer.data()), size) != nullptr) {
    snprintf(text, sizeof text, "[***ERROR Thread %d : Occured at %s Cache ***]", index,
             phase.name);
    ReportTestError(text);
  }
  // Releasing a budgeted block cannot fail, so the "[Done]" announcement always follows.
  buffer = platform::BudgetedBlock();
  ReportProgress(index, "Testing %s Cache...[Done]", phase.name);
  return 256.0 * kCacheReadBacks * static_cast<double>(size);
}

void CacheTestBody(int index) {
  const int processor = WorkerProcessor(index);
  const WorkStopwatch stopwatch;
  double bytes_checked = 0;
  for (const CachePhase& phase : kPhases) bytes_checked += RunPhase(index, processor, phase);
  ReportWorkerFigure(index, "bytes_checked", static_cast<int64_t>(bytes_checked));
  ReportWorkerFigure(index, "gb_per_s", stopwatch.Rate(bytes_checked, 1e9));
}

}  // namespace

size_t CacheBufferBytes(size_t fixed_bytes, std::optional<uint64_t> cache_bytes) {
  if (!cache_bytes || fixed_bytes <= *cache_bytes) return fixed_bytes;
  return static_cast<size_t>(*cache_bytes / 4 * 3);
}

uint32_t CacheTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &CacheTestBody, CatchClauses::kStandard);
}

const uint8_t* CheckCacheBuffer(int worker_index, uint8_t* data, size_t size) {
  const CompareKernels& kernels = BestKernels();
  for (unsigned value = 0; value <= 255; ++value) {
    StopIfRequested();
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
