#include "run/worker_dispatch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/thread.h"
#include "report/event_reporter.h"
#include "report/run_log.h"
#include "report/run_record.h"
#include "run/ini_file.h"
#include "temp_dir.h"
#include "text_match.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using testing::ReadFile;

// Each worker notes where the dispatch pinned it (-1: said it could not), then logs lines.
std::atomic<int> g_processor[kMaxWorkersPerTest];
std::string g_log;
const std::string kError = "[***ERROR: Cache Test : ";

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

// Ten workers at most, pinned; a processor the machine lacks is said and does not fail the run,
// unlike a thread that cannot start. Lines stay whole (ThreadSanitizer watches the log's
// lock); a run record that cannot be written (a planted link is not followed) is said once.
TEST(WorkerDispatchTest, PinsUpToTenWorkers) {
  if (platform::UsableProcessorCount() < 2) GTEST_SKIP() << "needs two processors";
  testing::TempDir dir;
  IniFile ini;
  ini.SetPath(dir.File("f.ini"));
  RunLog log;
  log.Open(dir.path(), "run.Log");
  g_log = log.path();
  testing::WriteFile(dir.File("f.ini"), "[Cache]\nCPU=0,0,0,0,0,0,0,0,0,0\n");  // no cap to say
  const auto dispatch = [] {
    return testing::ConsoleOf([] {
      DispatchTest({"Cache", kError.c_str(), &Worker, WorkerList::kPerProcessor}, 1);
    });
  };
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // shadow memory needs room
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh child: no thread ran before
  EXPECT_EXIT(                                     // no room left for a thread's stack
      {
        const rlim_t room = std::stoul(ReadFile("/proc/self/statm")) * 4096 + (2 << 20);
        const rlimit limit(room, room);
        setrlimit(RLIMIT_AS, &limit);
        std::string text;
        for (char i = '0'; i <= '9'; ++i)
          text += kError + "Unable to start thread " + i + " (" + strerror(EAGAIN) + ") ***]\n";
        _exit(dispatch() == text && ReadFile(g_log).ends_with(text) && FailureFlagRaised() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
  testing::WriteFile(dir.File("f.ini"), "[Cache]\nCPU=1, 0 ,,1,99,64,-1,0,0,0,0,1,x\n");
  ASSERT_EQ(symlink("target", dir.File("r.jsonl").c_str()), 0);
  RunRecordOpen(dir.path(), "r.jsonl");
  ClearFailureFlag();
  const std::string pin = kError + "Unable to set Thread Affinity mask for thread ";
  const std::string record = "Warning: the run record " + dir.File("r.jsonl") +
                             " cannot be written (" + strerror(ELOOP) +
                             "); the run goes on without it\n";
  EXPECT_EQ(dispatch(), kError + "Only 10 workers per test, CPU entries left out: 1, x ***]\n" +
                            pin + "3 ***]\n" + pin + "4 ***]\n" + pin + "5 ***]\n" + record);
  RunRecordOpen("", "");
  EXPECT_EQ(testing::CountMatches(ReadFile(g_log), testing::Escaped(pin) + "[345] .*\n\n"), 3u);
  EXPECT_EQ(testing::CountMatches(ReadFile(g_log), testing::Escaped(record)), 1u);
  EXPECT_EQ(testing::CountMatches(ReadFile(g_log), R"(\nThread (\d) : \1 line(?=\n))"), 1000u);
  EXPECT_EQ(std::vector<int>(std::begin(g_processor), std::end(g_processor)),
            (std::vector<int>{1, 0, 1, -1, -1, -1, 0, 0, 0, 0}));
  EXPECT_FALSE(FailureFlagRaised());
  log.Open(dir.path(), "r.jsonl");  // a link planted at the log's name is not followed either
  EXPECT_EQ(LogMessage("line"), 0);
  RunRecordOpen(dir.path(), "u.jsonl");  // bad UTF-8 becomes U+FFFD
  RecordWorkerEnd({"Disk", 2, 1, std::nullopt, "failed", "at \xe9t\xc3", 0.5, {}});
  RunRecordOpen("", "");
  EXPECT_TRUE(
      testing::Contains(ReadFile(dir.File("u.jsonl")),
                        R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",.*"processor":null,)"
                        "\"status\":\"failed\",\"error\":\"at \xef\xbf\xbdt\xef\xbf\xbd\""));
}

// Size: 40 file pairs when missing or empty; otherwise read as unsigned, taken as signed.
TEST(WorkerDispatchTest, DiskSizeSetting) {
  testing::TempDir dir;
  IniFile ini;
  ini.SetPath(dir.File("f.ini"));
  for (const auto& [size, pairs] :
       std::initializer_list<std::pair<const char*, int32_t>>{{"", 40},
                                                              {"Size=\n", 40},
                                                              {"Size=12\n", 12},
                                                              {"Size=-5\n", -5},
                                                              {"Size=x\n", 0},
                                                              {"Size=4294967295\n", -1}}) {
    testing::WriteFile(dir.File("f.ini"), std::string("[Disk]\n") + size);
    EXPECT_EQ(DiskSizeSetting(), pairs) << size;
  }
}

// The log's stamp is local time, month first; the system log's has the syslog form.
TEST(RunLogTest, Timestamps) {
  tm local{};
  EXPECT_STREQ(strptime(LogTimestamp().c_str(), "%m/%d/%Y %H:%M:%S", &local), "");
  local.tm_isdst = -1;
  EXPECT_LE(std::abs(difftime(mktime(&local), time(nullptr))), 2.0) << LogTimestamp();
  strptime("12/06/2026 09:05:07", "%m/%d/%Y %H:%M:%S", &local);
  EXPECT_EQ(FormatErrorEvent("100% bad\n", mktime(&local), 4242),
            "<11>Dec  6 09:05:07 Forgeval[4242]: 100% bad\n");
}

}  // namespace
}  // namespace forgeval
