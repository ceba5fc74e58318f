#include "platform/process.h"

#include <unistd.h>

#include <algorithm>

namespace forgeval::platform {

std::string ProgramPath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

std::string FolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  if (cut == std::string::npos) cut = path.rfind('\\');
  if (cut == std::string::npos) return {};
  return path.substr(0, cut);
}

std::string ProgramFolder() { return FolderOf(ProgramPath()); }

std::string WithForwardSlashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::string PathInFolder(const std::string& folder, const std::string& name) {
  std::string file = WithForwardSlashes(name);
  return !file.empty() && file[0] == '/' ? file : folder + "/" + file;
}

int ProcessId() { return static_cast<int>(getpid()); }

}  // namespace forgeval::platform
