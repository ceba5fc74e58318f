// The memory and cache tests, recording each pass point and flipping a bit as a bad cell would.
#include "stress/memory.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <tuple>

#include "platform/cache_sizes.h"
#include "platform/memory_budget.h"
#include "platform/thread.h"
#include "report/failure_flag.h"
#include "run/test_table.h"
#include "stress/cache.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"
#include "text_match.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

std::mutex g_mutex;
std::vector<PassPoint> g_points;
size_t g_plant_point = 0, g_plant_offset = 0;  // the bit flips at point g_plant_point (from 1)
uint8_t* g_planted = nullptr;
std::atomic<size_t> g_outside_written{0};  // past a buffer, in the budget's zeroed last page
size_t g_refused_bytes = 0, g_granted = 0, g_asked = 0;  // blocks of g_refused_bytes asked for
testing::Rendezvous g_meeting;

// The cache phases' buffers on processor `cpu` of this machine: each fits the cache it names.
size_t CacheBuffer(int cpu, int level) {
  return CacheBufferBytes(level == 1 ? kL1CacheBufferBytes : kL2CacheBufferBytes,
                          platform::DataCacheBytes(cpu, level));
}

void RecordPass(const PassPoint& point) {
  g_meeting.Arrive();
  auto* data = static_cast<uint8_t*>(point.data);
  if (point.fill_value == 255 && reinterpret_cast<uintptr_t>(data) % 4096 == 0) {
    for (size_t at = point.size; at % 4096 != 0; ++at) g_outside_written += data[at] != 0;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_points.push_back(point);
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
};

// Two workers at once. Memory: 4,096,000-byte blocks apart, bus passes of each, then fills 0 to
// 255 of each. Cache: the L1 buffer, then the L2 one, each value read back 60 times, none past.
TEST_F(PassTest, TwoWorkersRunEveryPassInOrderAtOnce) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "this machine has one processor";
  WriteConfig("[Memory]\nCPU=0,1\nMemSize=10\n[Cache]\nCPU=0,1\n");
  using Pass = std::tuple<PassKind, size_t, unsigned, int, size_t>;  // block, value, read-back
  std::vector<Pass> want[2][2];                                      // [memory, cache][worker]
  for (int w = 0; w < 2; ++w) {
    for (size_t i = 0; i < 4; ++i) want[0][w].emplace_back(PassKind(i % 2), i / 2, 0, 0, 4096000);
    for (size_t i = 0; i < 512; ++i) {
      want[0][w].emplace_back(PassKind::kDramFilled, i / 256, i % 256, 0, 4096000);
    }
    for (size_t i = 0; i < 2 * 256 * 60; ++i) {
      want[1][w].emplace_back(PassKind::kCacheFilled, 0, i / 60 % 256, i % 60,
                              CacheBuffer(w, i < 15360 ? 1 : 2));
    }
  }
  for (size_t t = 0; t < 2; ++t) {
    SCOPED_TRACE(BuiltTests()[t].section);
    g_points.clear();
    g_meeting.Reset(true);
    Dispatch(BuiltTests()[t]);
    std::vector<Pass> seen[2];
    std::set<void*> memory;
    std::set<std::tuple<int, size_t, void*>> blocks;  // each block's passes on its own memory
    for (const PassPoint& p : g_points) {
      seen[p.worker_index].emplace_back(p.kind, p.block, p.fill_value, p.read_back, p.size);
      memory.insert(p.data);
      blocks.emplace(p.worker_index, p.block, p.data);
    }
    for (int w = 0; w < 2; ++w) EXPECT_EQ(seen[w], want[t][w]);
    EXPECT_TRUE(t == 1 || (memory.size() == 4 && blocks.size() == 4)) << memory.size();
    EXPECT_NE(console_.find(t == 0 ? "Thread 1 : Allocating 8MB" : "Thread 1 : Testing L2"),
              std::string::npos);
    EXPECT_TRUE(g_meeting.met()) << "each worker saw the other one running";
  }
  EXPECT_EQ(g_outside_written, 0u);
  EXPECT_FALSE(FailureFlagRaised());
}

// MemSize / 4 blocks, toward zero; each error ends the worker at once ('@': the bad address).
TEST_F(PassTest, EachErrorEndsTheWorkerAtOnceWithItsText) {
  const std::string beyond =
      std::to_string((platform::MemoryRoomLeft().value_or(0) / kMemoryBlockBytes * 2 + 16) * 4);
  const std::string refused = "[***ERROR: Thread 4 : Allocating Memory at 0000000000000000 ***]",
                    bus = "[***ERROR Thread 4 : Occured with Data Bus test at address @ ***]",
                    dram = "[***ERROR Thread 4 : Occured DRAM array test at address @ ***]",
                    cache = "[*** ERROR Thread 4 : Occured while allocating memory for L";
  // Worker, MemSize, refused size, granted, asked, bad bit's offset, passes, lines, error.
  const std::tuple<WorkerEntry, std::string, size_t, size_t, size_t, size_t, size_t, size_t,
                   std::string>
      cases[] = {
          {&MemoryTestThread, "", 0, 0, 0, 0, 258, 7, ""},  // 4: one block
          {&MemoryTestThread, "-3", 0, 0, 0, 0, 0, 7, ""},  // no block
          {&MemoryTestThread, "-9", 4096000, 0, 0, 0, 0, 1,
           "[***ERROR: Thread 4 : Allocating Memory: MemSize -9 gives a negative block count ***]"},
          {&MemoryTestThread, "12", 4096000, 2, 3, 0, 0, 1, refused},    // the third block
          {&MemoryTestThread, beyond, 4096000, 0, 0, 0, 0, 1, refused},  // before any block
          {&MemoryTestThread, "8", 0, 0, 0, 8 * 12345 + 5, 3, 2, bus},   // block 1 written
          {&MemoryTestThread, "8", 0, 0, 0, 4096000 - 8, 4, 2, bus},     // block 1 complemented
          {&MemoryTestThread, "8", 0, 0, 0, 4096000 - 1, 4 + 256 + 201, 4, dram},  // 1, 200
          {&MemoryTestThread, "8", 0, 0, 0, 777, 260, 4, dram},                    // 0, 255
          {&CacheTestThread, "", 0, 0, 0, CacheBuffer(0, 1) - 1, 78 * 60, 1,
           "[***ERROR Thread 4 : Occured at L1 Cache ***]"},
          {&CacheTestThread, "", 0, 0, 0, 4099, 511 * 60 + 31, 3,
           "[***ERROR Thread 4 : Occured at L2 Cache ***]"},
          {&CacheTestThread, "", CacheBuffer(0, 1), 0, 1, 0, 0, 0, cache + "1 Cache ***]"},
          {&CacheTestThread, "", CacheBuffer(0, 2), 0, 1, 0, 256 * 60, 2, cache + "2 Cache ***]"},
      };
  for (const auto& [entry, mem_size, refused_bytes, granted, asked, offset, points, lines, text] :
       cases) {
    SCOPED_TRACE(mem_size + " " + text + " " + std::to_string(points));
    ClearFailureFlag();
    g_points.clear();
    g_plant_point = refused_bytes == 0 && !text.empty() ? points : 0, g_plant_offset = offset;
    g_refused_bytes = refused_bytes, g_granted = granted, g_asked = 0;
    WriteConfig(mem_size.empty() ? "" : "[Memory]\nMemSize=" + mem_size + "\n");
    EXPECT_EQ(Run(entry, 4), text.empty() ? kWorkerCompleted : kWorkerFailed);
    EXPECT_EQ(ConsoleLines().size(), lines + !text.empty());
    EXPECT_EQ(g_points.size(), points);
    EXPECT_EQ(g_asked, asked);
    std::string error = text;
    if (const size_t at = error.find('@'); at != std::string::npos) {
      char hex[17];
      snprintf(hex, sizeof hex, "%016lX",
               reinterpret_cast<uintptr_t>(g_planted) - (error == bus ? offset % 8 : 0));
      error.replace(at, 1, hex);
    }
    if (!error.empty()) ExpectErrorReported(testing::Escaped(error));
  }
}

}  // namespace
}  // namespace forgeval
