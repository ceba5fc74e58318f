// A fixture for unit tests of the worker frame and the test bodies: a run log, a system log
// listener and a configuration file of the test's own, a clear failure flag, and helpers that
// run one worker (or a whole dispatched test) with the console captured. The test seams of the
// pass points and of the memory budget are cleared after each test.
#ifndef FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_
#define FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "report/event_reporter.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "run/test_table.h"
#include "syslog_listener.h"
#include "temp_dir.h"

namespace forgeval::testing {

class WorkerHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the configuration file the workers read.
  void WriteConfig(const std::string& text);
  // Runs `worker` on this thread and returns its exit code; the console goes to console_.
  uint32_t RunCaptured(const std::function<uint32_t()>& worker);
  // Runs `entry` for worker `index` on this thread, as RunCaptured.
  uint32_t Run(WorkerEntry entry, int index = 0);
  // Dispatches `test` as the run driver would (its section's "CPU" list), console to console_.
  void Dispatch(const TestEntry& test);
  std::string Log() const;
  // The log's lines after the header, without their timestamps.
  std::vector<std::string> LogLines() const;
  // console_ as lines, without their line ends.
  std::vector<std::string> ConsoleLines() const;
  // The error path was taken: the last line of console_ and of the log and the one system-log
  // message match `pattern` (a text_match pattern), and the failure flag is raised.
  void ExpectErrorReported(const std::string& pattern);

  TempDir dir_;
  SyslogListener listener_{dir_.File("log.sock")};
  EventReporter events_;
  RunLog log_;
  IniFile ini_;
  std::string console_;
};

// Two workers meeting: each calls Arrive() and waits there, up to 20 seconds, until the other
// has arrived too; met() then says they were running at the same time. Inactive until Reset(true).
class Rendezvous {
 public:
  void Reset(bool active);
  void Arrive();
  bool active() const { return active_; }
  bool met() const { return met_; }

 private:
  std::atomic<bool> active_{false};
  std::atomic<int> arrived_{0};
  std::atomic<bool> met_{false};
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_WORKER_HARNESS_H_
