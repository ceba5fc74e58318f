#include "platform/memory_budget.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "platform/memory_pages.h"

namespace forgeval::platform {
namespace {

std::mutex g_budget_mutex;
BudgetRefusal g_refusal = nullptr;  // guarded by g_budget_mutex

size_t RoundToPages(size_t bytes) {
  const size_t page = MemoryPageBytes();
  return (std::max<size_t>(bytes, 1) + page - 1) / page * page;
}

}  // namespace

BudgetedBlock::BudgetedBlock(size_t bytes) {
  const size_t rounded = RoundToPages(bytes);
  std::lock_guard<std::mutex> lock(g_budget_mutex);
  if (g_refusal != nullptr && g_refusal(bytes)) return;
  std::optional<size_t> room = MemoryRoomLeft();
  // Without any figure there is nothing to judge by; the block is still touched.
  if (room && rounded > *room) return;
  void* block = MapAndTouchPages(rounded);
  if (block == nullptr) return;
  data_ = block;
  size_ = bytes;
  mapped_ = rounded;
  // Locked only while the machine keeps twice the margin free afterwards.
  if (room && *room - rounded > MemorySafetyMargin()) locked_ = LockPages(block, rounded);
}

void BudgetedBlock::Release() {
  if (data_ == nullptr) return;
  if (locked_) {
    std::lock_guard<std::mutex> lock(g_budget_mutex);
    UnlockPages(data_, mapped_);
  }
  UnmapPages(data_, mapped_);
  data_ = nullptr;
  size_ = mapped_ = 0;
  locked_ = false;
}

BudgetedBlock& BudgetedBlock::operator=(BudgetedBlock&& other) noexcept {
  if (this != &other) {
    Release();
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapped_, other.mapped_);
    std::swap(locked_, other.locked_);
  }
  return *this;
}

BudgetedBlock AllocateBudgetedOrThrow(size_t bytes) {
  BudgetedBlock block(bytes);
  if (!block) throw std::bad_alloc();
  return block;
}

bool FitsMemoryRoom(size_t bytes) {
  std::optional<size_t> room = MemoryRoomLeft();
  return !room || bytes <= *room;
}

void SetBudgetRefusalForTesting(BudgetRefusal refusal) {
  std::lock_guard<std::mutex> lock(g_budget_mutex);
  g_refusal = refusal;
}

}  // namespace forgeval::platform
