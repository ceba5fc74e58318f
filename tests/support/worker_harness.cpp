#include "worker_harness.h"

#include <stdlib.h>

#include <chrono>
#include <thread>

#include "platform/memory_budget.h"
#include "platform/syslog_socket.h"
#include "report/failure_flag.h"
#include "run/worker_dispatch.h"
#include "stress/pass_seam.h"
#include "text_match.h"
#include "worker_console.h"

namespace forgeval::testing {

void WorkerHarness::SetUp() {
  setenv(platform::kSyslogSocketVariable, listener_.path().c_str(), 1);
  ASSERT_TRUE(events_.RegisterEventLogSource());
  log_.Open(dir_.path(), "run.Log");
  log_.SetTimestamps(true);
  ini_.SetPath(dir_.File("forgeval.ini"));
  ClearFailureFlag();
}

void WorkerHarness::TearDown() {
  SetPassHookForTesting(nullptr);
  platform::SetBudgetRefusalForTesting(nullptr);
  unsetenv(platform::kSyslogSocketVariable);
}

void WorkerHarness::WriteConfig(const std::string& text) {
  WriteFile(dir_.File("forgeval.ini"), text);
}

uint32_t WorkerHarness::RunCaptured(const std::function<uint32_t()>& worker) {
  uint32_t exit_code = 0;
  console_ = ConsoleOf([&] { exit_code = worker(); });
  return exit_code;
}

uint32_t WorkerHarness::Run(WorkerEntry entry, int index) {
  return RunCaptured([entry, index] { return entry(static_cast<uintptr_t>(index)); });
}

void WorkerHarness::Dispatch(const TestEntry& test) {
  console_ = ConsoleOf([&test] { DispatchTest(test, 1); });
}

namespace {

std::vector<std::string> SplitLines(const std::string& text, size_t start) {
  std::vector<std::string> lines;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string WorkerHarness::Log() const { return ReadFile(log_.path()); }

std::vector<std::string> WorkerHarness::LogLines() const {
  const std::string stamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : )";
  const std::string text = testing::ReplaceAll(Log(), stamp, "");
  size_t start = text.find("\n\n") + 2;
  start = text.find("\n\n", start) + 2;  // after "Started at:" and its empty line
  return SplitLines(text, start);
}

std::vector<std::string> WorkerHarness::ConsoleLines() const { return SplitLines(console_, 0); }

void WorkerHarness::ExpectErrorReported(const std::string& pattern) {
  EXPECT_TRUE(Contains(console_, "(^|\n)" + pattern + "\n$")) << console_;
  const std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(FullMatch(lines.back(), pattern)) << lines.back();
  const std::vector<std::string> datagrams = listener_.Drain(1000);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_TRUE(Contains(datagrams[0], ": " + pattern + "\n$")) << datagrams[0];
  EXPECT_TRUE(FailureFlagRaised());
}

void Rendezvous::Reset(bool active) {
  arrived_ = 0;
  met_ = false;
  active_ = active;
}

void Rendezvous::Arrive() {
  if (!active_) return;
  arrived_.fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (arrived_.load() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  if (arrived_.load() >= 2) met_ = true;
}

}  // namespace forgeval::testing
