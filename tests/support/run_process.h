// Runs a program as the operator would: in a given folder, with extra environment variables,
// optionally with a limited address space or on a pseudo-terminal, and collects its output.
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
  std::string output;  // standard output (on a terminal: the whole screen)
  std::string errors;  // standard error (on a terminal: empty)
};

struct ProcessOptions {
  std::string working_dir;
  std::vector<std::pair<std::string, std::string>> environment;
  uint64_t address_space_limit = 0;  // bytes; 0: none
  bool terminal = false;             // standard input, output and error on a pseudo-terminal
};

// A program started in the background. Destroying it kills a program not yet waited for.
class RunningProcess {
 public:
  RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
  ~RunningProcess();

  const std::string& output() const { return result_.output; }
  void Signal(int signal_number);
  void Type(const std::string& keys);  // on the terminal
  // Reads output until `text` has appeared `times` times (true) or `seconds` have passed.
  bool ReadUntil(const std::string& text, size_t times = 1, double seconds = 30);
  bool Running();
  ProcessResult Wait();

 private:
  bool ReadSome(int timeout_ms);  // false once no more output can come

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};  // standard output (or the terminal) and standard error
  bool reaped_ = false;
  ProcessResult result_;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
