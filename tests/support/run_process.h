// Runs a program as the operator would: in a given folder, with extra environment variables,
// optionally as an unprivileged user or on a pseudo-terminal, and collects what it printed.
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
  std::string output;  // standard output (the whole screen on a terminal)
  std::string errors;  // standard error (empty on a terminal)
};

struct ProcessOptions {
  std::string working_dir;
  std::vector<std::pair<std::string, std::string>> environment;
  bool unprivileged = false;         // as "nobody" when the tests run as root
  uint64_t address_space_limit = 0;  // bytes; 0 is no limit
  bool terminal = false;             // standard input, output and error on a new pseudo-terminal
};

// A program started in the background, for tests that act while it runs.
class RunningProcess {
 public:
  RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;
  ~RunningProcess();  // kills and reaps a program that Wait has not seen end

  pid_t pid() const { return pid_; }
  void Signal(int signal_number);
  void Type(const std::string& keys);  // on the terminal
  // Reads the output until `text` has appeared `times` times; false after `seconds`.
  bool ReadUntil(const std::string& text, size_t times = 1, double seconds = 30);
  const std::string& output() const { return result_.output; }
  bool Running();
  ProcessResult Wait();  // reads all output until the program ends

 private:
  bool ReadSome(int timeout_ms);  // false once no output can come any more

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  ProcessResult result_;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
