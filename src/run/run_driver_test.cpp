#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <atomic>

#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "temp_dir.h"
#include "worker_console.h"

namespace forgeval {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::atomic<int> g_runs{0};
std::string g_ini_path;

// Switches its own test off in the file while the run goes on.
uint32_t SwitchingOffWorker(uintptr_t) {
  ++g_runs;
  WriteFile(g_ini_path, "[Main]\nLoop=3\n[Memory]\nEnabled=off\n");
  return 0;
}

// Fails in the first pass only.
uint32_t FirstPassFailingWorker(uintptr_t) {
  if (g_runs++ == 0) RaiseFailureFlag();
  return 0;
}

class RunDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_runs = 0;
    g_ini_path = dir_.File("forgeval.ini");
  }
  int Run(const TestEntry& test) {
    IniFile ini;
    RunLog log;
    EventReporter events;
    std::string arg0 = "forgeval";
    char* argv[] = {arg0.data(), g_ini_path.data(), nullptr};
    int code = 0;
    console_ = testing::ConsoleOf(
        [&] { code = RunDriver(2, argv, std::span<const TestEntry>(&test, 1)); });
    return code;
  }

  TempDir dir_;
  std::string console_;
};

TEST_F(RunDriverTest, EnabledIsReadAtTheStartOfEveryTest) {
  WriteFile(g_ini_path, "[Main]\nLoop=3\nLogFile=" + dir_.File("d.Log") +
                            "\nResultFile=" + dir_.File("r.jsonl") + "\n");
  const TestEntry test{"Memory", "[***ERROR: Memory Test : ", &SwitchingOffWorker,
                       WorkerList::kPerProcessor};
  EXPECT_EQ(Run(test), 0);
  EXPECT_EQ(g_runs, 1);
  EXPECT_NE(console_.find("--- Loop 3 of 3 ---\n\nAll tests passed successfully.\n"),
            std::string::npos);
}

TEST_F(RunDriverTest, AnErrorInTheFirstPassDoesNotStopTheRun) {
  WriteFile(g_ini_path, "[Main]\nLoop=3\nLogFile=" + dir_.File("d.Log") +
                            "\nResultFile=" + dir_.File("r.jsonl") + "\n");
  const TestEntry test{"Matrix", "[***ERROR: Matrix Test : ", &FirstPassFailingWorker,
                       WorkerList::kPerProcessor};
  EXPECT_EQ(Run(test), 1);
  EXPECT_EQ(g_runs, 3);
  EXPECT_TRUE(console_.ends_with("--- Loop 3 of 3 ---\n\nError: Some of the tests failed.\n"));
  const std::string log = ReadFile(dir_.File("d.Log"));
  EXPECT_NE(log.find(" : --- Loop 3 of 3 ---\n\n"), std::string::npos);
  EXPECT_NE(log.find(" : Error: Some of the tests failed.\n\nClosed at:\t"), std::string::npos);
}

}  // namespace
}  // namespace forgeval
