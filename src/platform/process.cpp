#include "platform/process.h"

#include <fcntl.h>
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

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    // The lowest free descriptor is this one, since those below it are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace forgeval::platform
