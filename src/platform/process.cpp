#include "platform/process.h"

#include <algorithm>

namespace forgeval::platform {

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
  return IsAbsolutePath(file) ? file : folder + "/" + file;
}

}  // namespace forgeval::platform
