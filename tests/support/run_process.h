// Runs a program as the operator would: in a given folder, with extra environment
// variables, optionally as an unprivileged user, and collects what it printed.
#ifndef FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
#define FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_

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
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

// The uid the unprivileged option runs as.
inline constexpr unsigned kNobodyUid = 65534;

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_RUN_PROCESS_H_
