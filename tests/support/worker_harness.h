// A fixture for unit tests of the worker frame and the test bodies: a run log, a system log
// listener and a configuration file of the test's own and a clear failure flag; workers run
// with the console captured. The pass-point and memory-budget seams are cleared after each test.
#ifndef FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_
#define FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory_budget.h"
#include "platform/syslog_socket.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "run/test_table.h"
#include "run/worker_dispatch.h"
#include "stress/pass_seam.h"
#include "syslog_listener.h"
#include "temp_dir.h"
#include "text_match.h"
#include "worker_console.h"

namespace forgeval::testing {

inline std::vector<std::string> AllLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class WorkerHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(platform::kSyslogSocketVariable, listener_.path().c_str(), 1);
    ASSERT_TRUE(events_.RegisterEventLogSource());
    log_.Open(dir_.path(), "run.Log");
    log_.SetTimestamps(true);
    ini_.SetPath(dir_.File("forgeval.ini"));
    ClearFailureFlag();
  }
  void TearDown() override {
    SetPassHookForTesting(nullptr);
    platform::SetBudgetRefusalForTesting(nullptr);
    unsetenv(platform::kSyslogSocketVariable);
  }

  // The configuration file the workers read.
  void WriteConfig(const std::string& text) { WriteFile(dir_.File("forgeval.ini"), text); }
  // Runs `worker` (or `entry` for worker `index`) on this thread, console to console_.
  uint32_t RunCaptured(const std::function<uint32_t()>& worker) {
    uint32_t exit_code = 0;
    console_ = ConsoleOf([&] { exit_code = worker(); });
    return exit_code;
  }
  uint32_t Run(WorkerEntry entry, int index = 0) {
    return RunCaptured([entry, index] { return entry(static_cast<uintptr_t>(index)); });
  }
  // Dispatches `test` as the run driver would (its section's "CPU" list), console to console_.
  void Dispatch(const TestEntry& test) {
    console_ = ConsoleOf([&test] { DispatchTest(test, 1); });
  }
  std::string Log() const { return ReadFile(log_.path()); }
  // The log's lines after the header ("Started at:" and an empty line), without timestamps.
  std::vector<std::string> LogLines() const {
    std::string text = ReplaceAll(Log(), R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : )", "");
    return AllLines(text.substr(text.find("\n\n", text.find("\n\n") + 2) + 2));
  }
  std::vector<std::string> ConsoleLines() const { return AllLines(console_); }
  // The error path was taken: the last line of console_ and of the log and the one system-log
  // message match `pattern` (a text_match pattern), and the failure flag is raised.
  void ExpectErrorReported(const std::string& pattern) {
    EXPECT_TRUE(Contains(console_, "(^|\n)" + pattern + "\n$")) << console_;
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(FullMatch(lines.back(), pattern)) << lines.back();
    const std::vector<std::string> datagrams = listener_.Drain(1000);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_TRUE(Contains(datagrams[0], ": " + pattern + "\n$")) << datagrams[0];
    EXPECT_TRUE(FailureFlagRaised());
  }

  TempDir dir_;
  SyslogListener listener_{dir_.File("log.sock")};
  EventReporter events_;
  RunLog log_;
  IniFile ini_;
  std::string console_;
};

// Two workers meeting: each Arrive() waits, up to 20 seconds, until the other has arrived too;
// met() then says they ran at the same time. Inactive until Reset(true).
class Rendezvous {
 public:
  void Reset(bool active) {
    arrived_ = 0;
    met_ = false;
    active_ = active;
  }
  void Arrive() {
    if (!active_) return;
    arrived_.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived_.load() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    met_ = arrived_.load() >= 2;
  }
  bool active() const { return active_; }
  bool met() const { return met_; }

 private:
  std::atomic<bool> active_{false}, met_{false};
  std::atomic<int> arrived_{0};
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_
