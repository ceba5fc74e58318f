// SCAFFOLD: to be replaced by the Windows system queries.
#include <ctime>

#include "platform/process.h"
#include "platform/system_queries.h"

namespace forgeval::platform {

std::optional<std::string> SystemQueries::ProgramPath() const {
  std::string path = platform::ProgramPath();
  if (path.empty()) return std::nullopt;
  return path;
}
std::optional<std::string> SystemQueries::UserName() const { return std::nullopt; }
std::optional<std::string> SystemQueries::DistributionName() const { return std::nullopt; }
std::optional<std::string> SystemQueries::KernelRelease() const { return std::nullopt; }
std::optional<std::string> SystemQueries::HostName() const { return std::nullopt; }
std::optional<std::string> SystemQueries::ProcessorModel() const { return std::nullopt; }
int SystemQueries::ProcessorsOnline() const { return 0; }
MemoryFigures SystemQueries::Memory() const { return {}; }
int64_t SystemQueries::Now() const { return static_cast<int64_t>(time(nullptr)); }
std::optional<LocalDateTime> SystemQueries::ToLocalTime(int64_t) const { return std::nullopt; }
std::optional<FileFacts> SystemQueries::FileFactsOf(const std::string&) const {
  return std::nullopt;
}
std::vector<LoadedObject> SystemQueries::LoadedObjects() const { return ListLoadedObjects(); }

const SystemQueries& RealSystemQueries() {
  static const SystemQueries queries;
  return queries;
}

}  // namespace forgeval::platform
