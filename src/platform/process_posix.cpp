#include "platform/process.h"

#include <fcntl.h>
#include <unistd.h>

namespace forgeval::platform {

std::string ProgramPath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

char PathSeparator() { return '/'; }

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

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
