#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <atomic>

#include "report/event_reporter.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "temp_dir.h"
#include "worker_console.h"

namespace forgeval {
namespace {

std::atomic<int> g_runs{0};
std::string g_ini_path;

// Switches its own test off in the file while the run goes on.
uint32_t SwitchingOffWorker(uintptr_t) {
  ++g_runs;
  testing::WriteFile(g_ini_path, "[Main]\nLoop=3\n[Memory]\nEnabled=off\n");
  return 0;
}

// An operator may switch a test off in the file while the run goes on: Enabled is read afresh
// each time the test is due.
TEST(RunDriverTest, EnabledIsReadAtTheStartOfEveryTest) {
  testing::TempDir dir;
  g_ini_path = dir.File("forgeval.ini");
  testing::WriteFile(g_ini_path, "[Main]\nLoop=3\nLogFile=" + dir.File("d.Log") +
                                     "\nResultFile=" + dir.File("r.jsonl") + "\n");
  IniFile ini;
  RunLog log;
  EventReporter events;
  std::string arg0 = "forgeval";
  char* argv[] = {arg0.data(), g_ini_path.data(), nullptr};
  const TestEntry test{"Memory", "[***ERROR: Memory Test : ", &SwitchingOffWorker,
                       WorkerList::kPerProcessor};
  int code = -1;
  const std::string console =
      testing::ConsoleOf([&] { code = RunDriver(2, argv, std::span<const TestEntry>(&test, 1)); });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(g_runs, 1);
  EXPECT_TRUE(console.ends_with("--- Loop 3 of 3 ---\n\nAll tests passed successfully.\n"));
}

}  // namespace
}  // namespace forgeval
