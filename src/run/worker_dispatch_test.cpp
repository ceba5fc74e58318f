#include "run/worker_dispatch.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "report/run_record.h"
#include "run/ini_file.h"
#include "temp_dir.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// What one test worker saw of itself.
struct Seen {
  int index;
  std::vector<int> processors;  // the processors it was allowed to run on
  std::string drive_root;
  int32_t size;
};

std::mutex g_seen_mutex;
std::vector<Seen> g_seen;

std::vector<int> AllowedProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  std::vector<int> processors;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(static_cast<size_t>(cpu), &set)) processors.push_back(cpu);
  }
  return processors;
}

// The mask is applied after the start: give it a moment to take effect before looking.
std::vector<int> AllowedProcessorsOncePinned(int expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::vector<int> processors = AllowedProcessors();
  while (static_cast<int>(processors.size()) != expected &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    processors = AllowedProcessors();
  }
  return processors;
}

void Record(Seen seen) {
  std::lock_guard<std::mutex> lock(g_seen_mutex);
  g_seen.push_back(std::move(seen));
}

uint32_t PinnedWorker(uintptr_t argument) {
  Record({static_cast<int>(argument), AllowedProcessorsOncePinned(1), "", 0});
  return 0;
}

uint32_t DiskWorker(uintptr_t argument) {
  const auto* args = reinterpret_cast<const DiskWorkerArgs*>(argument);
  // Worker 0 is pinned by the configuration below; the others must stay unpinned.
  int expected = args->worker_index == 0 ? 1 : platform::UsableProcessorCount();
  Record({args->worker_index, AllowedProcessorsOncePinned(expected), args->drive_root, args->size});
  return 0;
}

std::string g_log_path;
std::atomic<bool> g_saw_affinity_text{false};

// Waits, while running, for its own affinity failure to reach the log.
uint32_t WaitingWorker(uintptr_t argument) {
  if (argument == 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (ReadFile(g_log_path).find("for thread 1 ***]") != std::string::npos) {
        g_saw_affinity_text = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  Record({static_cast<int>(argument), {}, "", 0});
  return 0;
}

const TestEntry kMemoryTest{"Memory", "[***ERROR: Memory Test : ", &PinnedWorker,
                            WorkerList::kPerProcessor};

class WorkerDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ini_.SetPath(dir_.File("forgeval.ini"));
    log_.Open(dir_.path(), "run.Log");
    log_.SetTimestamps(true);
    g_log_path = log_.path();
    g_seen.clear();
    ClearFailureFlag();
  }
  // Runs a dispatch and returns what it printed.
  std::string Dispatch(const TestEntry& test) {
    return testing::ConsoleOf([&test] { DispatchTest(test, 1); });
  }
  std::vector<Seen> SeenByIndex() {
    std::vector<Seen> seen = g_seen;
    std::sort(seen.begin(), seen.end(),
              [](const Seen& a, const Seen& b) { return a.index < b.index; });
    return seen;
  }

  TempDir dir_;
  IniFile ini_;
  RunLog log_;
};

TEST_F(WorkerDispatchTest, OneWorkerPerEntryPinnedToItsProcessor) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "needs two processors";
  WriteFile(dir_.File("forgeval.ini"), "[Memory]\nCPU=1, 0 ,,1\n");
  EXPECT_EQ(Dispatch(kMemoryTest), "");
  std::vector<Seen> seen = SeenByIndex();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].index, 0);
  EXPECT_EQ(seen[0].processors, std::vector<int>{1});
  EXPECT_EQ(seen[1].processors, std::vector<int>{0});
  EXPECT_EQ(seen[2].index, 2);
  EXPECT_EQ(seen[2].processors, std::vector<int>{1});
  EXPECT_FALSE(FailureFlagRaised());
}

TEST_F(WorkerDispatchTest, MissingListMeansOneWorkerOnProcessorZero) {
  WriteFile(dir_.File("forgeval.ini"), "[Memory]\nCPU= , ,\n");
  EXPECT_EQ(Dispatch(kMemoryTest), "");
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].index, 0);
  EXPECT_EQ(g_seen[0].processors, std::vector<int>{0});
}

TEST_F(WorkerDispatchTest, AffinityFailureIsReportedWhileTheWorkerRuns) {
  WriteFile(dir_.File("forgeval.ini"), "[Cache]\nCPU=0,99,64,-1\n");
  const TestEntry cache{"Cache", "[***ERROR: Cache Test : ", &WaitingWorker,
                        WorkerList::kPerProcessor};
  RunRecordOpen(dir_.path(), "run.jsonl");
  const std::string console = Dispatch(cache);
  RunRecordOpen("", "");
  const std::string text = "[***ERROR: Cache Test : Unable to set Thread Affinity mask for thread ";
  EXPECT_EQ(console, text + "1 ***]\n" + text + "2 ***]\n" + text + "3 ***]\n");
  EXPECT_TRUE(g_saw_affinity_text);
  EXPECT_EQ(g_seen.size(), 4u);
  // In the log each text is followed by an empty line, as it ends in a line feed.
  EXPECT_NE(ReadFile(log_.path()).find(" : " + text + "1 ***]\n\n"), std::string::npos);
  EXPECT_FALSE(FailureFlagRaised());
  // The run record names the processor of the pinned worker only.
  const std::string records = ReadFile(dir_.File("run.jsonl"));
  for (const char* worker :
       {R"("worker":0,"processor":0,)", R"("worker":1,"processor":null,)",
        R"("worker":2,"processor":null,)", R"("worker":3,"processor":null,)"}) {
    EXPECT_NE(records.find(worker), std::string::npos) << worker << "\n" << records;
  }
}

TEST_F(WorkerDispatchTest, ElevenEntriesStartTenWorkersAndSaySo) {
  WriteFile(dir_.File("forgeval.ini"), "[Memory]\nCPU=0,0,0,0,0,0,0,0,0,0,0,x\n");
  const std::string console = Dispatch(kMemoryTest);
  const std::string line =
      "[***ERROR: Memory Test : Only 10 workers per test, CPU entries left out: 0, x ***]\n";
  EXPECT_EQ(console, line);
  EXPECT_NE(ReadFile(log_.path()).find(line), std::string::npos);
  std::vector<Seen> seen = SeenByIndex();
  ASSERT_EQ(seen.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)].index, i);
}

TEST_F(WorkerDispatchTest, DiskWorkersArePinnedByPositionAndGetTheirRecords) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "needs two processors";
  WriteFile(dir_.File("forgeval.ini"), "[Disk]\nCPU=1\nDrive=/mnt/a, /mnt/b//, C:\\\nSize=-5\n");
  const TestEntry disk{"Disk", "[***ERROR: Disk Test : ", &DiskWorker, WorkerList::kPerDrive};
  EXPECT_EQ(Dispatch(disk), "");
  std::vector<Seen> seen = SeenByIndex();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].drive_root, "/mnt/a/");
  EXPECT_EQ(seen[0].processors, std::vector<int>{1});
  EXPECT_EQ(seen[1].drive_root, "/mnt/b/");
  EXPECT_EQ(static_cast<int>(seen[1].processors.size()), platform::UsableProcessorCount());
  EXPECT_EQ(seen[2].drive_root, "C:/");
  for (const Seen& worker : seen) EXPECT_EQ(worker.size, -5);
}

TEST_F(WorkerDispatchTest, DiskTestWithoutDrivesStartsNothing) {
  WriteFile(dir_.File("forgeval.ini"), "[Disk]\nCPU=0\n");
  const TestEntry disk{"Disk", "[***ERROR: Disk Test : ", &DiskWorker, WorkerList::kPerDrive};
  const std::string before = ReadFile(log_.path());
  EXPECT_EQ(Dispatch(disk), "");
  EXPECT_TRUE(g_seen.empty());
  EXPECT_EQ(ReadFile(log_.path()), before);
}

TEST_F(WorkerDispatchTest, DiskSizeRule) {
  const std::pair<const char*, int32_t> cases[] = {
      {"", 40}, {"12", 12}, {"-5", -5}, {"word", 0}, {"4294967295", -1}};
  for (const auto& [text, expected] : cases) {
    WriteFile(dir_.File("forgeval.ini"), std::string("[Disk]\nSize=") + text + "\n");
    EXPECT_EQ(DiskSizeSetting(), expected) << text;
  }
  WriteFile(dir_.File("forgeval.ini"), "[Disk]\n");
  EXPECT_EQ(DiskSizeSetting(), 40);
  EXPECT_EQ(DriveRootPath("/"), "/");
  EXPECT_EQ(ProcessorNumber(" 3x"), 3);
  EXPECT_EQ(ProcessorNumber("cpu3"), 0);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FORGEVAL_SANITIZED 1
#endif

TEST_F(WorkerDispatchTest, ThreadThatCannotStartFailsTheRun) {
#ifdef FORGEVAL_SANITIZED
  GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address-space limit";
#endif
  WriteFile(dir_.File("forgeval.ini"), "[Matrix]\nCPU=0\n");
  const TestEntry matrix{"Matrix", "[***ERROR: Matrix Test : ", &PinnedWorker,
                         WorkerList::kPerProcessor};
  // A fresh child process (no stacks of earlier threads cached for reuse) whose address
  // space has no room left for another thread's stack.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        long pages = 0;
        sscanf(ReadFile("/proc/self/statm").c_str(), "%ld", &pages);
        rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(getpagesize()) + (2 << 20);
        setrlimit(RLIMIT_AS, &limit);
        const std::string console = Dispatch(matrix);
        const std::string text =
            "[***ERROR: Matrix Test : Unable to start thread 0 (Resource temporarily "
            "unavailable) ***]\n";
        const bool logged = ReadFile(log_.path()).find(" : " + text) != std::string::npos;
        fprintf(stderr, "console=[%s] flag=%d workers=%zu logged=%d\n", console.c_str(),
                FailureFlagRaised(), g_seen.size(), logged);
        _exit(console == text && FailureFlagRaised() && g_seen.empty() && logged ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace forgeval
