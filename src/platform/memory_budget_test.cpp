#include "platform/memory_budget.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <new>
#include <thread>
#include <vector>

namespace forgeval::platform {
namespace {

TEST(MemoryBudgetTest, RoomLeftIsBelowWhatTheMachineHasAvailable) {
  std::optional<size_t> room = MemoryRoomLeft();
  ASSERT_TRUE(room.has_value()) << "/proc/meminfo should always give a figure";
  EXPECT_GT(MemorySafetyMargin(), size_t{256} << 20);
  EXPECT_LT(*room, (size_t{1} << 40) * 64);
}

TEST(MemoryBudgetTest, BlocksAreZeroedTouchedAndUsable) {
  BudgetedBlock block(4096000);
  ASSERT_TRUE(block);
  EXPECT_EQ(block.size(), 4096000u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block.data()) % 4096, 0u);
  const auto* bytes = static_cast<const unsigned char*>(block.data());
  for (size_t i = 0; i < block.size(); i += 4093) ASSERT_EQ(bytes[i], 0) << i;
  BudgetedBlock moved = std::move(block);
  EXPECT_FALSE(block);
  EXPECT_TRUE(moved);
}

TEST(MemoryBudgetTest, ABlockBeyondTheMachineIsRefusedNotKilled) {
  const size_t beyond = MemoryRoomLeft().value_or(0) + (size_t{1} << 30);
  BudgetedBlock block(beyond);
  EXPECT_FALSE(block);
  EXPECT_EQ(block.size(), 0u);
  EXPECT_THROW(AllocateBudgetedOrThrow(beyond), std::bad_alloc);
  EXPECT_FALSE(FitsMemoryRoom(beyond));
  EXPECT_FALSE(FitsMemoryRoom(SIZE_MAX));
  EXPECT_TRUE(FitsMemoryRoom(4096000));
}

TEST(MemoryBudgetTest, BlocksAreLockedWhenAllowed) {
  BudgetedBlock block(1 << 20);
  ASSERT_TRUE(block);
  // Root may lock without limit; elsewhere it depends on RLIMIT_MEMLOCK, and an unlocked
  // block is still a good one.
  if (geteuid() == 0) {
    EXPECT_TRUE(block.locked());
  }
}

TEST(MemoryBudgetTest, WorkersAllocatingAtOnceEachGetTheirOwnBlock) {
  std::vector<std::thread> workers;
  std::vector<void*> seen(4);
  for (size_t i = 0; i < seen.size(); ++i) {
    workers.emplace_back([&seen, i] {
      BudgetedBlock block(8 << 20);
      seen[i] = block.data();
      if (block) static_cast<char*>(block.data())[0] = static_cast<char>(i);
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (void* data : seen) EXPECT_NE(data, nullptr);
}

TEST(MemoryBudgetTest, TheRefusalSeamRefusesOnlyWhatItNames) {
  SetBudgetRefusalForTesting([](size_t bytes) { return bytes == 734003; });
  BudgetedBlock refused(734003);
  BudgetedBlock granted(91750);
  SetBudgetRefusalForTesting(nullptr);
  BudgetedBlock after(734003);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(granted);
  EXPECT_TRUE(after);
}

}  // namespace
}  // namespace forgeval::platform
