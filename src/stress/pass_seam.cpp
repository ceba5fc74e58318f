#include "stress/pass_seam.h"

#include <atomic>

#include "stress/compare_kernels.h"

namespace forgeval {
namespace {

std::atomic<PassHook> g_pass_hook{nullptr};

}  // namespace

void BetweenPasses(const PassPoint& point) {
  if (PassHook hook = g_pass_hook.load(std::memory_order_acquire); hook != nullptr) hook(point);
  CompilerBarrier(point.data);
}

void SetPassHookForTesting(PassHook hook) { g_pass_hook.store(hook, std::memory_order_release); }

}  // namespace forgeval
