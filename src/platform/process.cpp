#include "platform/process.h"

namespace forgeval::platform {

std::string FolderOf(const std::string& path) {
  size_t cut = path.rfind('/');
  if (cut == std::string::npos) cut = path.rfind('\\');
  if (cut == std::string::npos) return {};
  return path.substr(0, cut);
}

std::string ProgramFolder() { return FolderOf(ProgramPath()); }

std::string NativePath(std::string path) {
  const char separator = PathSeparator();
  for (char& c : path)
    if (c == '/' || c == '\\') c = separator;
  return path;
}

std::string PathInFolder(const std::string& folder, const std::string& name) {
  std::string file = NativePath(name);
  return IsAbsolutePath(file) ? file : folder + PathSeparator() + file;
}

}  // namespace forgeval::platform
