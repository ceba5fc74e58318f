#include "stress/memory_test.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <set>

#include "pass_recorder.h"
#include "platform/memory_budget.h"
#include "platform/thread.h"
#include "report/failure_flag.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

using Lines = std::vector<std::string>;

testing::PassRecord& g_seen = testing::g_passes;

// Workers meet at their first pass, when the test asks for it.
testing::Rendezvous g_meeting;

std::string Hex(const void* address) {
  char text[17];
  snprintf(text, sizeof text, "%016" PRIX64,
           static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

class MemoryTestTest : public testing::WorkerHarness {
 protected:
  void SetUp() override {
    WorkerHarness::SetUp();
    g_meeting.Reset(false);
    testing::StartRecordingPasses([](const PassPoint& point) {
      if (point.kind == PassKind::kBusWritten && point.block == 0) g_meeting.Arrive();
    });
  }
  // Flips one bit at `offset` of the block at the point of this kind, block and fill value.
  static void Plant(PassKind kind, size_t block, unsigned value, size_t offset) {
    testing::PlantBitFlip(
        [=](const PassPoint& point) {
          return point.kind == kind && point.block == block && point.fill_value == value;
        },
        offset, 0x10);
  }
  // The distinct blocks the checks ran over, in the order first seen.
  std::vector<void*> Blocks() const {
    std::vector<void*> blocks;
    for (const PassPoint& point : g_seen.points) {
      if (std::find(blocks.begin(), blocks.end(), point.data) == blocks.end()) {
        blocks.push_back(point.data);
      }
    }
    return blocks;
  }
  static Lines Announcements(int megabytes) {
    const std::string mb = std::to_string(megabytes);
    return {"Thread 0 : Allocating " + mb + "MB Memory for testing...",
            "Thread 0 : Testing Memory Address & Data bus...",
            "Thread 0 : Testing Memory Address & Data bus...[Done]",
            "Thread 0 : Testing DRAM Arrays...",
            "Thread 0 : Testing DRAM Arrays...[Done]",
            "Thread 0 : De-allocating " + mb + "MB Memory...",
            "Thread 0 : De-allocating " + mb + "MB Memory...[Done]"};
  }
};

TEST(MemoryBlockCountTest, MemSizeOverFourRoundedTowardZero) {
  EXPECT_EQ(MemoryBlockCount(0), 0);
  EXPECT_EQ(MemoryBlockCount(3), 0);
  EXPECT_EQ(MemoryBlockCount(4), 1);
  EXPECT_EQ(MemoryBlockCount(7), 1);
  EXPECT_EQ(MemoryBlockCount(10), 2);
  EXPECT_EQ(MemoryBlockCount(4096), 1024);
  EXPECT_EQ(MemoryBlockCount(-3), 0);
  EXPECT_EQ(MemoryBlockCount(-4), -1);
  EXPECT_EQ(MemoryBlockCount(-9), -2);
}

TEST_F(MemoryTestTest, WithoutMemSizeOneBlockIsTestedWithEveryPassInOrder) {
  EXPECT_EQ(Run(&MemoryTestThread), kWorkerCompleted);
  EXPECT_EQ(ConsoleLines(), Announcements(4));
  EXPECT_EQ(LogLines(), Announcements(4));
  EXPECT_FALSE(FailureFlagRaised());
  ASSERT_EQ(g_seen.points.size(), 2u + 256u);
  EXPECT_EQ(g_seen.points[0].kind, PassKind::kBusWritten);
  EXPECT_EQ(g_seen.points[1].kind, PassKind::kBusComplemented);
  for (unsigned value = 0; value < 256; ++value) {
    const PassPoint& point = g_seen.points[2 + value];
    EXPECT_EQ(point.kind, PassKind::kDramFilled);
    EXPECT_EQ(point.fill_value, value);
    EXPECT_EQ(point.size, kMemoryBlockBytes);
  }
}

TEST_F(MemoryTestTest, MemSizeGivesTheBlockCountAndTheMegabyteFigure) {
  for (auto [mem_size, blocks] : {std::pair{0, 0}, {7, 1}, {10, 2}, {-3, 0}}) {
    SCOPED_TRACE(mem_size);
    g_seen.points.clear();
    WriteConfig("[Memory]\nMemSize=" + std::to_string(mem_size) + "\n");
    EXPECT_EQ(Run(&MemoryTestThread), kWorkerCompleted);
    EXPECT_EQ(ConsoleLines(), Announcements(blocks * 4));
    EXPECT_EQ(Blocks().size(), static_cast<size_t>(blocks));
    // Each block gets its three bus passes, then the blocks their 256 fills in list order.
    ASSERT_EQ(g_seen.points.size(), static_cast<size_t>(blocks) * (2 + 256));
    if (blocks == 2) {
      EXPECT_EQ(g_seen.points[2].kind, PassKind::kBusWritten);
      EXPECT_EQ(g_seen.points[2].block, 1u);
      EXPECT_EQ(g_seen.points[4 + 255].block, 0u);
      EXPECT_EQ(g_seen.points[4 + 256].block, 1u);
    }
  }
  EXPECT_FALSE(FailureFlagRaised());
}

TEST_F(MemoryTestTest, NegativeBlockCountIsAnErrorNamingTheValue) {
  WriteConfig("[Memory]\nMemSize=-8\n");
  EXPECT_EQ(Run(&MemoryTestThread), kWorkerFailed);
  const std::string text =
      "[***ERROR: Thread 0 : Allocating Memory: MemSize -8 gives a negative block count ***]";
  EXPECT_EQ(ConsoleLines(), (Lines{"Thread 0 : Allocating -8MB Memory for testing...", text}));
  EXPECT_EQ(LogLines().back(), text);
  EXPECT_TRUE(FailureFlagRaised());
  EXPECT_TRUE(g_seen.points.empty());
  EXPECT_EQ(listener_.Drain(1000).size(), 1u);
}

int g_blocks_granted = 0;

TEST_F(MemoryTestTest, ARefusedBlockIsTheAllocationErrorWithANullAddress) {
  WriteConfig("[Memory]\nMemSize=12\n");
  g_blocks_granted = 0;
  platform::SetBudgetRefusalForTesting([](size_t bytes) {
    return bytes == kMemoryBlockBytes && ++g_blocks_granted > 2;  // the third block
  });
  EXPECT_EQ(Run(&MemoryTestThread, 2), kWorkerFailed);
  const std::string text = "[***ERROR: Thread 2 : Allocating Memory at 0000000000000000 ***]";
  EXPECT_EQ(ConsoleLines(), (Lines{"Thread 2 : Allocating 12MB Memory for testing...", text}));
  EXPECT_EQ(LogLines().back(), text);
  EXPECT_EQ(g_blocks_granted, 3);
  EXPECT_TRUE(g_seen.points.empty());
}

TEST_F(MemoryTestTest, AMemSizeBeyondTheRoomLeftIsRefusedAtOnce) {
  const size_t room = platform::MemoryRoomLeft().value_or(0);
  const size_t mem_size = (room / kMemoryBlockBytes + 16) * 4;
  ASSERT_LT(mem_size, size_t{INT32_MAX});
  WriteConfig("[Memory]\nMemSize=" + std::to_string(mem_size) + "\n");
  g_blocks_granted = 0;
  platform::SetBudgetRefusalForTesting([](size_t) {
    ++g_blocks_granted;
    return false;
  });
  EXPECT_EQ(Run(&MemoryTestThread), kWorkerFailed);
  EXPECT_EQ(ConsoleLines().back(),
            "[***ERROR: Thread 0 : Allocating Memory at 0000000000000000 ***]");
  EXPECT_EQ(g_blocks_granted, 0) << "no block is taken when they cannot all fit";
}

TEST_F(MemoryTestTest, ABadWordAfterTheWritePassIsReportedAtItsAddress) {
  WriteConfig("[Memory]\nMemSize=8\n");
  Plant(PassKind::kBusWritten, 1, 0, 8 * 12345 + 5);
  EXPECT_EQ(Run(&MemoryTestThread, 1), kWorkerFailed);
  ASSERT_NE(g_seen.planted_at, nullptr);
  const auto* word = static_cast<const uint8_t*>(g_seen.planted_at) - 5;
  EXPECT_EQ(static_cast<const uint8_t*>(Blocks()[1]) + 8 * 12345, word);
  const std::string text =
      "[***ERROR Thread 1 : Occured with Data Bus test at address " + Hex(word) + " ***]";
  EXPECT_EQ(ConsoleLines(), (Lines{"Thread 1 : Allocating 8MB Memory for testing...",
                                   "Thread 1 : Testing Memory Address & Data bus...", text}));
  EXPECT_EQ(LogLines().back(), text);
  EXPECT_EQ(g_seen.points.back().kind, PassKind::kBusWritten) << "nothing after the failed pass";
  EXPECT_TRUE(FailureFlagRaised());
}

TEST_F(MemoryTestTest, ABadComplementIsReportedAtItsAddress) {
  for (size_t word_index : {size_t{0}, size_t{511999}}) {
    SCOPED_TRACE(word_index);
    g_seen.points.clear();
    Plant(PassKind::kBusComplemented, 0, 0, 8 * word_index);
    EXPECT_EQ(Run(&MemoryTestThread), kWorkerFailed);
    ASSERT_NE(g_seen.planted_at, nullptr);
    EXPECT_EQ(ConsoleLines().back(), "[***ERROR Thread 0 : Occured with Data Bus test at address " +
                                         Hex(g_seen.planted_at) + " ***]");
    EXPECT_EQ(ConsoleLines().size(), 3u);
    EXPECT_EQ(g_seen.points.size(), 2u);
  }
}

TEST_F(MemoryTestTest, ABadByteInTheDramArrayCheckIsReportedAtItsAddress) {
  struct Case {
    size_t block;
    unsigned value;
    size_t offset;
  };
  WriteConfig("[Memory]\nMemSize=10\n");
  for (const Case& c : {Case{0, 0, 0}, Case{1, 200, kMemoryBlockBytes - 1}, Case{0, 255, 777}}) {
    SCOPED_TRACE(c.value);
    g_seen.points.clear();
    Plant(PassKind::kDramFilled, c.block, c.value, c.offset);
    EXPECT_EQ(Run(&MemoryTestThread), kWorkerFailed);
    ASSERT_NE(g_seen.planted_at, nullptr);
    EXPECT_EQ(static_cast<const uint8_t*>(Blocks()[c.block]) + c.offset, g_seen.planted_at);
    const std::string text = "[***ERROR Thread 0 : Occured DRAM array test at address " +
                             Hex(g_seen.planted_at) + " ***]";
    EXPECT_EQ(ConsoleLines(), (Lines{"Thread 0 : Allocating 8MB Memory for testing...",
                                     "Thread 0 : Testing Memory Address & Data bus...",
                                     "Thread 0 : Testing Memory Address & Data bus...[Done]",
                                     "Thread 0 : Testing DRAM Arrays...", text}));
    EXPECT_EQ(LogLines().back(), text);
    // No later fill value and no later block was tried.
    EXPECT_EQ(g_seen.points.back().block, c.block);
    EXPECT_EQ(g_seen.points.back().fill_value, c.value);
  }
}

TEST_F(MemoryTestTest, TwoWorkersOnProcessorsZeroAndOneRunAtOnceAndComplete) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "this machine has one processor";
  WriteConfig("[Memory]\nCPU=0,1\nMemSize=8\n");
  g_meeting.Reset(true);
  Dispatch({"Memory", "[***ERROR: Memory Test : ", &MemoryTestThread, WorkerList::kPerProcessor});
  for (const char* worker : {"Thread 0 : ", "Thread 1 : "}) {
    EXPECT_NE(console_.find(std::string(worker) + "De-allocating 8MB Memory...[Done]\n"),
              std::string::npos)
        << console_;
  }
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_EQ(g_seen.points.size(), 2 * 2 * (2u + 256u));
  EXPECT_EQ(g_seen.worker_processors, (std::set<std::pair<int, int>>{{0, 0}, {1, 1}}));
  EXPECT_TRUE(g_meeting.met()) << "each worker saw the other one running";
}

}  // namespace
}  // namespace forgeval
