// System queries with fixed answers, for tests of the crash report: each fact is a public
// member a test sets, or empties to make that query fail.
#ifndef FORGEVAL_TESTS_SUPPORT_FIXED_SYSTEM_QUERIES_H_
#define FORGEVAL_TESTS_SUPPORT_FIXED_SYSTEM_QUERIES_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_queries.h"

namespace forgeval::testing {

class FixedSystemQueries : public platform::SystemQueries {
 public:
  std::optional<std::string> program_path = "/opt/forgeval/forgeval";
  std::optional<std::string> user_name = "operator";
  std::optional<std::string> distribution = "Debian GNU/Linux 12 (bookworm)";
  std::optional<std::string> kernel_release = "6.1.0-18-amd64";
  int processors = 2;
  platform::MemoryFigures memory;
  int64_t now = 1741943107;
  // The local time returned for any moment; nothing makes the conversion fail.
  std::optional<platform::LocalDateTime> local_time = platform::LocalDateTime{2025, 3, 14, 9, 5, 7};
  // Files that can be examined; any other path fails.
  std::map<std::string, platform::FileFacts> files;
  std::vector<platform::LoadedObject> objects;

  std::optional<std::string> ProgramPath() const override { return program_path; }
  std::optional<std::string> UserName() const override { return user_name; }
  std::optional<std::string> DistributionName() const override { return distribution; }
  std::optional<std::string> KernelRelease() const override { return kernel_release; }
  int ProcessorsOnline() const override { return processors; }
  platform::MemoryFigures Memory() const override { return memory; }
  int64_t Now() const override { return now; }
  std::optional<platform::LocalDateTime> ToLocalTime(int64_t) const override { return local_time; }
  std::optional<platform::FileFacts> FileFactsOf(const std::string& path) const override {
    auto found = files.find(path);
    if (found == files.end()) return std::nullopt;
    return found->second;
  }
  std::vector<platform::LoadedObject> LoadedObjects() const override { return objects; }
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_FIXED_SYSTEM_QUERIES_H_
