#include "run/worker_dispatch.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include "platform/thread.h"
#include "report/run_log.h"
#include "report/run_record.h"
#include "run/ini_file.h"
#include "temp_dir.h"
#include "text_match.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using testing::ReadFile;

std::atomic<int> g_processor[kMaxWorkersPerTest];  // where each worker ran; -1 when unpinned
std::string g_log;

// Pinned, or said not to be, right after its start: notes where it runs, then logs lines.
uint32_t Worker(uintptr_t index) {
  const std::string failure = "thread " + std::to_string(index) + " ***]";
  int processor = -2;  // neither within two seconds
  for (int i = 0; i < 2000 && processor == -2; ++i, usleep(1000)) {
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    if (CPU_COUNT(&set) == 1) processor = sched_getcpu();
    if (ReadFile(g_log).find(failure) != std::string::npos) processor = -1;
  }
  g_processor[index] = processor;
  for (int i = 0; i < 100; ++i) LogThreadMessage(int(index), "%d line", int(index));
  return 0;
}

// Ten workers at most, each pinned to its processor; one the machine lacks is said while the
// worker runs unpinned, and does not fail the run, unlike a thread that cannot start. The
// log's lock keeps every line whole (ThreadSanitizer watches it).
TEST(WorkerDispatchTest, PinsUpToTenWorkers) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "needs two processors";
  testing::TempDir dir;
  IniFile ini;
  ini.SetPath(dir.File("f.ini"));
  RunLog log;
  log.Open(dir.path(), "run.Log");
  g_log = log.path();
  testing::WriteFile(dir.File("f.ini"), "[Cache]\nCPU=0\n");
  const auto dispatch = [] {
    ClearFailureFlag();
    return testing::ConsoleOf([] {
      DispatchTest({"Cache", "[***ERROR: Cache Test : ", &Worker, WorkerList::kPerProcessor}, 1);
    });
  };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // shadow memory needs room
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh child: no thread ran before
  EXPECT_EXIT(                                     // no room left for a thread's stack
      {
        long pages = 0;
        sscanf(ReadFile("/proc/self/statm").c_str(), "%ld", &pages);
        const rlim_t room = static_cast<rlim_t>(pages * getpagesize() + (2 << 20));
        const rlimit limit(room, room);
        setrlimit(RLIMIT_AS, &limit);
        const std::string text =
            "[***ERROR: Cache Test : Unable to start thread 0 (Resource "
            "temporarily unavailable) ***]\n";
        _exit(dispatch() == text && ReadFile(g_log).ends_with(text) && FailureFlagRaised() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
  testing::WriteFile(dir.File("f.ini"), "[Cache]\nCPU=1, 0 ,,1,99,64,-1,0,0,0,0,1,x\n");
  RunRecordOpen(dir.path(), "r.jsonl");
  const std::string pin = "[***ERROR: Cache Test : Unable to set Thread Affinity mask for thread ";
  EXPECT_EQ(dispatch(),
            "[***ERROR: Cache Test : Only 10 workers per test, CPU entries left out: 1, x ***]\n" +
                pin + "3 ***]\n" + pin + "4 ***]\n" + pin + "5 ***]\n");
  RunRecordOpen("", "");
  EXPECT_EQ(testing::CountMatches(ReadFile(g_log), testing::Escaped(pin) + "[345] .*\n\n"), 3u);
  EXPECT_EQ(testing::CountMatches(ReadFile(g_log), R"(\nThread (\d) : \1 line(?=\n))"), 1000u);
  std::string processors, records = ReadFile(dir.File("r.jsonl"));
  for (const auto& processor : g_processor) processors += std::to_string(processor) + " ";
  EXPECT_EQ(processors, "1 0 1 -1 -1 -1 0 0 0 0 ");
  EXPECT_EQ(testing::ReplaceAll(records, R"([^\n]*"processor":(\w+)[^\n]*\n)", "$1 "),
            "1 0 1 null null null 0 0 0 0 ");
  EXPECT_FALSE(FailureFlagRaised());
}

}  // namespace
}  // namespace forgeval
