// Runs a program as the operator would: in a given folder, with extra environment
// variables, optionally as an unprivileged user, and collects what it printed.
#ifndef FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
#define FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace forgeval::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when the process did not exit normally
  int signal = 0;      // the signal that ended it, if one did
  std::string output;  // standard output
  std::string errors;  // standard error
};

struct ProcessOptions {
  std::string working_dir;
  std::vector<std::pair<std::string, std::string>> environment;
  // When the tests run as root, run the program as "nobody", so that folder rights apply.
  bool unprivileged = false;
  // When not 0, the program's address space is limited to this many bytes.
  uint64_t address_space_limit = 0;
};

// Runs the program to its end.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// A program started in the background, for tests that act while it runs. Its output is
// collected by Wait, so it should print less than a pipe holds (64 KiB) before that.
class RunningProcess {
 public:
  RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;
  // Kills and reaps a program that Wait has not seen end.
  ~RunningProcess();

  pid_t pid() const { return pid_; }
  void Signal(int signal_number);
  // Collects the output until the program ends; its exit status.
  ProcessResult Wait();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool reaped_ = false;
};

// The uid the unprivileged option runs as.
inline constexpr unsigned kNobodyUid = 65534;

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
