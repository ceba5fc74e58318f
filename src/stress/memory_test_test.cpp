// The memory and cache tests, through the pass seam they share: every point between a fill and
// its read-back is recorded, and a bit may flip at one of them as a failing cell would flip it.
#include "stress/memory_test.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <tuple>

#include "platform/memory_budget.h"
#include "platform/thread.h"
#include "report/failure_flag.h"
#include "run/test_table.h"
#include "stress/cache_test.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"
#include "text_match.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

using Pass = std::tuple<PassKind, size_t, unsigned, int, size_t>;  // block, value, read-back, size
std::mutex g_mutex;
std::vector<PassPoint> g_points;
std::set<std::pair<int, int>> g_processors;    // (worker, processor) at fill value 255
size_t g_plant_point = 0, g_plant_offset = 0;  // the bit flips at point g_plant_point (from 1)
uint8_t* g_planted = nullptr;
std::atomic<size_t> g_outside_written{0};  // bytes past a buffer's end, up to its page's end
size_t g_refused_bytes = 0, g_granted = 0, g_asked = 0;  // blocks of g_refused_bytes asked for
testing::Rendezvous g_meeting;

void RecordPass(const PassPoint& point) {
  g_meeting.Arrive();
  auto* data = static_cast<uint8_t*>(point.data);
  // The budget hands out zeroed whole pages: what lies past the buffer stays zero.
  if (point.fill_value == 255 && reinterpret_cast<uintptr_t>(data) % 4096 == 0) {
    for (size_t at = point.size; at % 4096 != 0; ++at) g_outside_written += data[at] != 0;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_points.push_back(point);
  if (point.fill_value == 255)
    g_processors.insert({point.worker_index, platform::CurrentProcessor()});
  if (g_points.size() == g_plant_point) *(g_planted = data + g_plant_offset) ^= 0x10;
}

class PassTest : public testing::WorkerHarness {
 protected:
  void SetUp() override {
    WorkerHarness::SetUp();
    g_plant_point = g_refused_bytes = 0;
    g_meeting.Reset(false);
    SetPassHookForTesting(&RecordPass);
    platform::SetBudgetRefusalForTesting(
        [](size_t bytes) { return bytes == g_refused_bytes && ++g_asked > g_granted; });
  }
  uint32_t Run(WorkerEntry entry, const std::string& mem_size = "") {
    g_points.clear();
    WriteConfig("[Memory]\n" + mem_size + "\n");
    return WorkerHarness::Run(entry, 4);
  }
};

// Memory: MemSize / 4 blocks (toward zero) of 4,096,000 bytes, each its own, the bus passes of
// every block, then every block's fills 0 to 255. Cache: 91,750 bytes (L1), then 734,003
// (L2), each value read back sixty times, and nothing written past the buffer.
TEST_F(PassTest, EachCheckRunsEveryPassInOrder) {
  const struct {
    WorkerEntry entry;
    std::string mem_size;
    size_t blocks;
  } runs[] = {{&CacheTestThread, "", 0},
              {&MemoryTestThread, "MemSize=-3", 0},
              {&MemoryTestThread, "", 1},
              {&MemoryTestThread, "MemSize=10", 2}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.mem_size);
    std::vector<Pass> want, seen;
    std::set<void*> memory;
    for (size_t i = 0; i < 2 * run.blocks; ++i) {  // written, then complemented
      want.emplace_back(PassKind(i % 2), i / 2, 0, 0, 4096000);
    }
    for (size_t i = 0; i < 256 * run.blocks; ++i) {
      want.emplace_back(PassKind::kDramFilled, i / 256, i % 256, 0, 4096000);
    }
    for (size_t i = 0; run.entry == &CacheTestThread && i < 2 * 256 * 60; ++i) {
      want.emplace_back(PassKind::kCacheFilled, 0, i / 60 % 256, i % 60,
                        i < 15360 ? 91750 : 734003);
    }
    EXPECT_EQ(Run(run.entry, run.mem_size), kWorkerCompleted);
    for (const PassPoint& p : g_points) {
      seen.emplace_back(p.kind, p.block, p.fill_value, p.read_back, p.size);
      memory.insert(p.data);
    }
    EXPECT_EQ(seen, want);
    if (run.entry == &MemoryTestThread) {
      EXPECT_EQ(memory.size(), run.blocks);
    }
  }
  EXPECT_EQ(ConsoleLines()[0], "Thread 4 : Allocating 8MB Memory for testing...");
  EXPECT_EQ(g_outside_written, 0u);
  EXPECT_FALSE(FailureFlagRaised());
}

// Each error ends the worker at once, after `lines` progress lines and `points` passes, with
// its text; '@' stands for the address of the bad word (bus passes) or byte (DRAM array).
TEST_F(PassTest, EachErrorEndsTheWorkerAtOnceWithItsText) {
  const std::string beyond =
      std::to_string((platform::MemoryRoomLeft().value_or(0) / kMemoryBlockBytes + 16) * 4);
  const std::string refused = "[***ERROR: Thread 4 : Allocating Memory at 0000000000000000 ***]",
                    bus = "[***ERROR Thread 4 : Occured with Data Bus test at address @ ***]",
                    dram = "[***ERROR Thread 4 : Occured DRAM array test at address @ ***]",
                    cache = "[*** ERROR Thread 4 : Occured while allocating memory for L";
  const struct {
    WorkerEntry entry;
    std::string mem_size;
    size_t refused_bytes, granted, asked, offset, points, lines;
    std::string error;
  } cases[] = {
      {&MemoryTestThread, "-9", 4096000, 0, 0, 0, 0, 1,
       "[***ERROR: Thread 4 : Allocating Memory: MemSize -9 gives a negative block count ***]"},
      {&MemoryTestThread, "12", 4096000, 2, 3, 0, 0, 1, refused},    // the third block
      {&MemoryTestThread, beyond, 4096000, 0, 0, 0, 0, 1, refused},  // before any block
      {&MemoryTestThread, "8", 0, 0, 0, 8 * 12345 + 5, 3, 2, bus},   // block 1 written
      {&MemoryTestThread, "8", 0, 0, 0, 4096000 - 8, 4, 2, bus},     // block 1 complemented
      {&MemoryTestThread, "8", 0, 0, 0, 4096000 - 1, 4 + 256 + 201, 4, dram},  // block 1, 200
      {&MemoryTestThread, "8", 0, 0, 0, 777, 260, 4, dram},                    // block 0, 255
      {&CacheTestThread, "", 0, 0, 0, 91749, 78 * 60, 1,
       "[***ERROR Thread 4 : Occured at L1 Cache ***]"},
      {&CacheTestThread, "", 0, 0, 0, 4099, 511 * 60 + 31, 3,
       "[***ERROR Thread 4 : Occured at L2 Cache ***]"},
      {&CacheTestThread, "", 91750, 0, 1, 0, 0, 0, cache + "1 Cache ***]"},
      {&CacheTestThread, "", 734003, 0, 1, 0, 256 * 60, 2, cache + "2 Cache ***]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error + " " + std::to_string(c.points));
    ClearFailureFlag();
    g_plant_point = c.refused_bytes == 0 ? c.points : 0, g_plant_offset = c.offset;
    g_refused_bytes = c.refused_bytes, g_granted = c.granted, g_asked = 0;
    EXPECT_EQ(Run(c.entry, "MemSize=" + c.mem_size), kWorkerFailed);
    std::string error = c.error;
    if (const size_t at = error.find('@'); at != std::string::npos) {
      char address[17];
      const uint8_t* bad = g_planted - (error == bus ? c.offset % 8 : 0);
      snprintf(address, sizeof address, "%016lX", reinterpret_cast<uintptr_t>(bad));
      error.replace(at, 1, address);
    }
    EXPECT_EQ(ConsoleLines().size(), c.lines + 1);
    ExpectErrorReported(testing::Escaped(error));
    EXPECT_EQ(g_points.size(), c.points);
    EXPECT_EQ(g_asked, c.asked);
  }
}

// Two workers of each test, on processors 0 and 1, run at the same time and complete.
TEST_F(PassTest, TwoWorkersOnProcessorsZeroAndOneRunAtOnceAndComplete) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "this machine has one processor";
  WriteConfig("[Memory]\nCPU=0,1\nMemSize=8\n[Cache]\nCPU=0,1\n");
  for (const TestEntry& test : BuiltTests().first(2)) {  // memory, then cache
    SCOPED_TRACE(test.section);
    g_points.clear();
    g_processors.clear();
    g_meeting.Reset(true);
    Dispatch(test);
    EXPECT_EQ(g_points.size(), test.entry == &CacheTestThread ? 2u * 2 * 256 * 60 : 2u * 2 * 258);
    EXPECT_EQ(g_processors, (std::set<std::pair<int, int>>{{0, 0}, {1, 1}}));
    EXPECT_TRUE(g_meeting.met()) << "each worker saw the other one running";
  }
  EXPECT_FALSE(FailureFlagRaised());
}

}  // namespace
}  // namespace forgeval
