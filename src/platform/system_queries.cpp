// The queries that read the same on every system; the others are in system_queries_posix.cpp
// and system_queries_win32.cpp.
#include "platform/system_queries.h"

#include "platform/process.h"

namespace forgeval::platform {

std::optional<std::string> SystemQueries::ProgramPath() const {
  std::string path = platform::ProgramPath();
  if (path.empty()) return std::nullopt;
  return path;
}

std::vector<LoadedObject> SystemQueries::LoadedObjects() const { return ListLoadedObjects(); }

const SystemQueries& RealSystemQueries() {
  static const SystemQueries queries;
  return queries;
}

}  // namespace forgeval::platform
