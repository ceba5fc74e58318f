// A test fixture for end-to-end runs of the fault probe (the real program with test-only
// bodies): the probe copied into a fresh folder, where its log, crash report and dump land
// beside it, and a system-log listener of the test's own. Header-only: the including test
// target defines FORGEVAL_FAULT_PROBE, the path of the built probe.
#ifndef FORGEVAL_TESTS_SUPPORT_PROBE_FIXTURE_H_
#define FORGEVAL_TESTS_SUPPORT_PROBE_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_process.h"
#include "syslog_listener.h"
#include "temp_dir.h"

namespace forgeval::testing {

class FaultProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(FORGEVAL_FAULT_PROBE, program_); }
  // Runs the probe in its folder with `ini` as its configuration and the named bodies.
  ProcessResult Run(const std::string& ini, const std::vector<std::string>& bodies) {
    WriteFile(dir_.File("probe.ini"), ini);
    std::vector<std::string> argv{program_, dir_.File("probe.ini")};
    argv.insert(argv.end(), bodies.begin(), bodies.end());
    ProcessOptions options;
    options.working_dir = dir_.path();
    options.environment.emplace_back("FORGEVAL_SYSLOG_SOCKET", listener_.path());
    return RunProcess(argv, options);
  }
  std::string Log() const { return ReadFile(dir_.File("forgeval.Log")); }

  TempDir dir_;
  std::string program_ = dir_.File("forgeval_fault_probe");
  SyslogListener listener_{dir_.File("log.sock")};
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_PROBE_FIXTURE_H_
