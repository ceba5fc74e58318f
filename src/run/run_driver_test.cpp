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

// An operator may switch a test off in the file while the run goes on.
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

}  // namespace
}  // namespace forgeval
