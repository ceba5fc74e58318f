#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "report/event_reporter.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "stress/worker_frame.h"
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

// Each test's time in milliseconds without a boundary; -1: until it is stopped.
int g_ms[2] = {};
template <int kTest>
uint32_t Takes(uintptr_t) {
  if (g_ms[kTest] >= 0) return usleep(static_cast<useconds_t>(g_ms[kTest]) * 1000), 0;
  auto body = [](int) {
    for (;;) StopIfRequested(), usleep(1000);
  };
  return RunTestWorker(0, body, CatchClauses::kStandard);
}

// Runs the driver on `ini` in a death test's child (in the threadsafe style, a process of its
// own that made its own folder, removed here), its console on standard error.
[[noreturn]] void RunPrintingConsole(std::string ini, std::span<const TestEntry> tests) {
  IniFile file;
  RunLog log;
  EventReporter events;
  std::string arg0 = "forgeval";
  char* argv[] = {arg0.data(), ini.data(), nullptr};
  int code = -1;
  fputs(testing::ConsoleOf([&] { code = RunDriver(2, argv, tests); }).c_str(), stderr);
  std::filesystem::remove_all(std::filesystem::path(ini).parent_path());
  std::_Exit(code);
}

// Where a time limit of 1 s falls: in a test whose worker it stops, in a test that ends on its
// own (the next is not started), or in the last test of a pass (the pass is whole). Each run
// in a child: the stop request holds for the whole process.
TEST(RunDriverTest, TheTimeUpLineSaysWhereTheTimeRanOut) {
  const struct {
    int ms[2];
    const char* line;
  } rows[] = {{{-1, 100}, "during pass 1 \\(the Sort test was cut short\\)"},
              {{700, 100}, "during pass 2"},
              {{100, 500}, "after pass 2"}};
  testing::TempDir dir;
  const std::string ini = dir.File("forgeval.ini");
  testing::WriteFile(ini, "[Main]\nDuration=1\nLogFile=\nResultFile=\n");
  const TestEntry tests[] = {{"SortAlgorithms", "", &Takes<0>, WorkerList::kPerProcessor},
                             {"Cache", "", &Takes<1>, WorkerList::kPerProcessor}};
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto& row : rows) {
    std::copy(row.ms, row.ms + 2, g_ms);
    EXPECT_EXIT(RunPrintingConsole(ini, tests), ::testing::ExitedWithCode(0),
                std::string("\nTime limit of 1s reached ") + row.line + "\\.\nAll tests passed");
  }
}

}  // namespace
}  // namespace forgeval
