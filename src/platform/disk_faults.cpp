#include "platform/disk_faults.h"

#include <atomic>
#include <mutex>

namespace forgeval::platform {
namespace {

std::atomic<bool> g_planted{false};
std::mutex g_mutex;
std::optional<DiskFault> g_fault;  // guarded by g_mutex
long g_seen = 0;                   // operations of g_fault's kind so far; guarded by g_mutex

}  // namespace

void PlantDiskFault(const DiskFault& fault) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_fault = fault;
  g_seen = 0;
  g_planted.store(true, std::memory_order_release);
}

void ClearDiskFault() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_fault.reset();
  g_planted.store(false, std::memory_order_release);
}

std::optional<DiskFault> TakeDiskFault(DiskOperation operation) {
  if (!g_planted.load(std::memory_order_acquire)) return std::nullopt;
  std::optional<DiskFault> fired;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_fault || g_fault->operation != operation) return std::nullopt;
    if (g_seen++ < g_fault->skip) return std::nullopt;
    fired = std::move(g_fault);
    g_fault.reset();
    g_planted.store(false, std::memory_order_release);
  }
  // Outside the lock: the action may take its time, and other workers go on meanwhile.
  if (fired->effect == DiskFaultEffect::kRun && fired->action) fired->action();
  return fired;
}

}  // namespace forgeval::platform
