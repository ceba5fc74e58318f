// A test fixture for end-to-end runs of the real program: the binary copied into a fresh
// folder, where its configuration file and log lie beside it, and the texts every run shows.
// Header-only: the including test target defines FORGEVAL_BINARY, the path of the built program.
#ifndef FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_
#define FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "run_process.h"
#include "temp_dir.h"

namespace forgeval::testing {

// A log line's timestamp, as a pattern.
inline const std::string kStamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";
inline const std::string kBanner = "Forgeval 1.3\n" + std::string(66, '-') + "\n";
inline const std::string kPassed = "\nAll tests passed successfully.\n";
inline const std::string kFailed = "\nError: Some of the tests failed.\n";

// True once `condition` holds, polled every 10 ms; false when `seconds` pass first.
inline bool WaitFor(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir_.path().c_str(), 0755);  // the unprivileged runs need to reach the program
    std::filesystem::copy_file(FORGEVAL_BINARY, program_);
  }
  // Writes `ini` as the program's configuration and runs it to its end in its folder (or in
  // options.working_dir), with no system-log listener.
  ProcessResult Run(const std::string& ini, const std::vector<std::string>& extra_args = {},
                    ProcessOptions options = {}) {
    return RunningProcess(Argv(ini, extra_args), Completed(std::move(options))).Wait();
  }
  // As Run, but returns at once with the program running.
  std::unique_ptr<RunningProcess> Start(const std::string& ini) {
    return std::make_unique<RunningProcess>(Argv(ini, {}), Completed({}));
  }
  std::string Log(const std::string& name = "forgeval.Log") const {
    return ReadFile(dir_.File(name));
  }

  TempDir dir_;
  std::string program_ = dir_.File("forgeval");

 private:
  std::vector<std::string> Argv(const std::string& ini,
                                const std::vector<std::string>& extra_args) const {
    WriteFile(dir_.File("forgeval.ini"), ini);
    chmod(dir_.File("forgeval.ini").c_str(), 0644);
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    return argv;
  }
  ProcessOptions Completed(ProcessOptions options) const {
    if (options.working_dir.empty()) options.working_dir = dir_.path();
    // First, so that a listener of the test's own, named in `options`, takes its place.
    options.environment.insert(options.environment.begin(),
                               {"FORGEVAL_SYSLOG_SOCKET", dir_.File("no-listener.sock")});
    return options;
  }
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_
