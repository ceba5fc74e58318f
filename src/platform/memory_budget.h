// The memory budget. Linux overcommits: a large allocation succeeds even when the machine
// cannot back it, and the process is killed later, when it touches the memory. So every large
// allocation of the program (test blocks, cache buffers, sort arrays, disk buffers) goes
// through here: it is checked against the room left, refused when it does not fit, and
// touched page by page right after it is made, so that a block handed out is really backed.
//
// Room left = min(MemAvailable of /proc/meminfo, memory.max - memory.current of this process's
// cgroup and of each cgroup above it) less a safety margin. Checks, allocations and touching
// are serialised, so two workers cannot both take the last room.
//
// Blocks are also locked in memory (mlock) when the room and RLIMIT_MEMLOCK allow, so the
// memory under test stays resident; when they do not, the block is used unlocked.
#ifndef FORGEVAL_PLATFORM_MEMORY_BUDGET_H_
#define FORGEVAL_PLATFORM_MEMORY_BUDGET_H_

#include <cstddef>
#include <optional>
#include <utility>

namespace forgeval::platform {

// Bytes the program may still allocate; nothing when no figure could be read.
std::optional<size_t> MemoryRoomLeft();

// The margin kept free for the rest of the machine.
size_t MemorySafetyMargin();

// Owns one budgeted block: page-aligned, zero-filled and touched. An empty block (data()
// null) means the allocation did not fit the budget or the system refused it.
class BudgetedBlock {
 public:
  BudgetedBlock() = default;
  explicit BudgetedBlock(size_t bytes);
  BudgetedBlock(BudgetedBlock&& other) noexcept { *this = std::move(other); }
  BudgetedBlock& operator=(BudgetedBlock&& other) noexcept;
  BudgetedBlock(const BudgetedBlock&) = delete;
  BudgetedBlock& operator=(const BudgetedBlock&) = delete;
  ~BudgetedBlock() { Release(); }

  void* data() const { return data_; }
  size_t size() const { return size_; }
  bool locked() const { return locked_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void Release();

  void* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;  // size_ rounded up to whole pages
  bool locked_ = false;
};

// A budgeted block that throws std::bad_alloc when refused: for the tests whose allocation
// failure is "Out of memory.".
BudgetedBlock AllocateBudgetedOrThrow(size_t bytes);

// Whether `bytes` more would fit the room left now (true when no figure could be read). Lets
// a caller that needs many blocks see at once that they cannot all fit, instead of first
// taking the machine's memory down to the margin block by block.
bool FitsMemoryRoom(size_t bytes);

// Test seam: while a refusal is set, every block for which it returns true is refused as if
// it did not fit the room. Set it while no block is being allocated; nullptr clears it.
using BudgetRefusal = bool (*)(size_t bytes);
void SetBudgetRefusalForTesting(BudgetRefusal refusal);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_MEMORY_BUDGET_H_
