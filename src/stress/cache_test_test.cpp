#include "stress/cache_test.h"

#include <gtest/gtest.h>

#include <atomic>
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

const Lines kAnnouncements = {
    "Thread 0 : Testing L1 Cache...", "Thread 0 : Testing L1 Cache...[Done]",
    "Thread 0 : Testing L2 Cache...", "Thread 0 : Testing L2 Cache...[Done]"};

testing::PassRecord& g_seen = testing::g_passes;
std::atomic<size_t> g_outside_written{0};  // bytes just past a buffer that were not left zero

// Workers meet at their first read-back, when the test asks for it.
testing::Rendezvous g_meeting;

void CheckAroundTheBuffer(const PassPoint& point) {
  if (point.fill_value == 0 && point.read_back == 0 && point.size == kL1CacheBufferBytes) {
    g_meeting.Arrive();
  }
  // The budget hands out whole zeroed pages, so the bytes past the buffer up to the page end
  // stay zero unless the test writes outside its buffer.
  const auto* data = static_cast<const uint8_t*>(point.data);
  const bool budgeted = reinterpret_cast<uintptr_t>(data) % 4096 == 0;
  if (budgeted && point.read_back == 0 && point.fill_value == 255) {
    for (size_t at = point.size; at % 4096 != 0; ++at) g_outside_written += data[at] != 0;
  }
}

class CacheTestTest : public testing::WorkerHarness {
 protected:
  void SetUp() override {
    WorkerHarness::SetUp();
    g_outside_written = 0;
    g_meeting.Reset(false);
    testing::StartRecordingPasses(&CheckAroundTheBuffer);
  }
  // Flips the lowest bit at `offset` of the buffer before the given read-back.
  static void Plant(size_t size, unsigned value, int read_back, size_t offset) {
    testing::PlantBitFlip(
        [=](const PassPoint& point) {
          return point.size == size && point.fill_value == value && point.read_back == read_back;
        },
        offset, 0x01);
  }
};

TEST_F(CacheTestTest, ACompleteRunFillsEachValueAndReadsItBackSixtyTimes) {
  EXPECT_EQ(Run(&CacheTestThread), kWorkerCompleted);
  EXPECT_EQ(ConsoleLines(), kAnnouncements);
  EXPECT_EQ(LogLines(), kAnnouncements);
  EXPECT_FALSE(FailureFlagRaised());
  ASSERT_EQ(g_seen.points.size(), 2u * 256 * 60);
  size_t n = 0;
  for (size_t size : {kL1CacheBufferBytes, kL2CacheBufferBytes}) {
    for (unsigned value = 0; value < 256; ++value) {
      for (int read_back = 0; read_back < 60; ++read_back, ++n) {
        const PassPoint& point = g_seen.points[n];
        ASSERT_EQ(point.kind, PassKind::kCacheFilled);
        ASSERT_EQ(point.size, size);
        ASSERT_EQ(point.fill_value, value);
        ASSERT_EQ(point.read_back, read_back);
      }
    }
  }
  EXPECT_EQ(g_outside_written, 0u);
}

TEST_F(CacheTestTest, TheFillCoversExactlyTheBuffer) {
  // A guard byte on each side of the buffer, of a value the fills end on.
  std::vector<uint8_t> buffer(kL1CacheBufferBytes + 2, 0x5A);
  EXPECT_EQ(CheckCacheBuffer(0, buffer.data() + 1, kL1CacheBufferBytes), nullptr);
  EXPECT_EQ(buffer.front(), 0x5A);
  EXPECT_EQ(buffer.back(), 0x5A);
  EXPECT_EQ(buffer[1], 255);
  EXPECT_EQ(buffer[kL1CacheBufferBytes], 255);
  EXPECT_EQ(g_seen.points.size(), 256u * 60);
}

TEST_F(CacheTestTest, ABadByteInAnyReadBackEndsTheWorkerWithThePhaseText) {
  struct Case {
    size_t size;
    unsigned value;
    int read_back;
    size_t offset;
    Lines console;
  };
  const Case cases[] = {
      {kL1CacheBufferBytes,
       77,
       59,
       kL1CacheBufferBytes - 1,
       {"Thread 0 : Testing L1 Cache...", "[***ERROR Thread 0 : Occured at L1 Cache ***]"}},
      {kL1CacheBufferBytes,
       0,
       0,
       0,
       {"Thread 0 : Testing L1 Cache...", "[***ERROR Thread 0 : Occured at L1 Cache ***]"}},
      {kL2CacheBufferBytes,
       255,
       30,
       4099,
       {"Thread 0 : Testing L1 Cache...", "Thread 0 : Testing L1 Cache...[Done]",
        "Thread 0 : Testing L2 Cache...", "[***ERROR Thread 0 : Occured at L2 Cache ***]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.console.back() + " value " + std::to_string(c.value));
    g_seen.points.clear();
    ClearFailureFlag();
    Plant(c.size, c.value, c.read_back, c.offset);
    EXPECT_EQ(Run(&CacheTestThread), kWorkerFailed);
    EXPECT_EQ(ConsoleLines(), c.console);
    EXPECT_EQ(LogLines().back(), c.console.back());
    EXPECT_TRUE(FailureFlagRaised());
    // The read-back after the corruption was the last thing the worker did.
    const PassPoint& last = g_seen.points.back();
    EXPECT_EQ(last.size, c.size);
    EXPECT_EQ(last.fill_value, c.value);
    EXPECT_EQ(last.read_back, c.read_back);
  }
  EXPECT_EQ(
      listener_.Drain(1000).size() + listener_.Drain(200).size() + listener_.Drain(200).size(), 3u);
}

TEST_F(CacheTestTest, TheCheckFindsTheExactByte) {
  std::vector<uint8_t> buffer(kL2CacheBufferBytes);
  Plant(kL2CacheBufferBytes, 128, 7, 654321);
  EXPECT_EQ(CheckCacheBuffer(0, buffer.data(), buffer.size()), buffer.data() + 654321);
  EXPECT_EQ(g_seen.points.back().fill_value, 128u);
  EXPECT_EQ(g_seen.points.back().read_back, 7);
}

TEST_F(CacheTestTest, AnL2AllocationFailureComesAfterTheL1Announcements) {
  platform::SetBudgetRefusalForTesting([](size_t bytes) { return bytes == kL2CacheBufferBytes; });
  EXPECT_EQ(Run(&CacheTestThread, 5), kWorkerFailed);
  const std::string text =
      "[*** ERROR Thread 5 : Occured while allocating memory for L2 Cache ***]";
  EXPECT_EQ(ConsoleLines(), (Lines{"Thread 5 : Testing L1 Cache...",
                                   "Thread 5 : Testing L1 Cache...[Done]", text}));
  EXPECT_EQ(LogLines().back(), text);
  EXPECT_TRUE(FailureFlagRaised());
}

TEST_F(CacheTestTest, AnL1AllocationFailureComesBeforeAnyAnnouncement) {
  platform::SetBudgetRefusalForTesting([](size_t bytes) { return bytes == kL1CacheBufferBytes; });
  EXPECT_EQ(Run(&CacheTestThread), kWorkerFailed);
  EXPECT_EQ(console_, "[*** ERROR Thread 0 : Occured while allocating memory for L1 Cache ***]\n");
  EXPECT_TRUE(g_seen.points.empty());
}

TEST_F(CacheTestTest, TwoWorkersOnProcessorsZeroAndOneRunAtOnceAndComplete) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "this machine has one processor";
  WriteConfig("[Cache]\nCPU=0,1\n");
  g_meeting.Reset(true);
  Dispatch({"Cache", "[***ERROR: Cache Test : ", &CacheTestThread, WorkerList::kPerProcessor});
  for (const char* worker : {"Thread 0 : ", "Thread 1 : "}) {
    EXPECT_NE(console_.find(std::string(worker) + "Testing L2 Cache...[Done]\n"), std::string::npos)
        << console_;
  }
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_EQ(g_seen.points.size(), 2u * 2 * 256 * 60);
  EXPECT_EQ(g_seen.worker_processors, (std::set<std::pair<int, int>>{{0, 0}, {1, 1}}));
  EXPECT_TRUE(g_meeting.met()) << "each worker saw the other one running";
}

}  // namespace
}  // namespace forgeval
