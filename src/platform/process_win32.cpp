#include "platform/process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace forgeval::platform {

std::string ProgramPath() {
  char buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return {};
  return std::string(buffer, length);
}

char PathSeparator() { return '\\'; }

bool IsAbsolutePath(const std::string& path) {
  if (path.empty()) return false;
  if (path[0] == '/' || path[0] == '\\') return true;
  return path.size() >= 2 && path[1] == ':';
}

int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }

void OpenClosedStandardDescriptors() {
  // A program started without a console or with a standard handle closed has no descriptor
  // 0, 1 or 2; the NUL device takes its place, so no file opened later receives console text.
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    const int opened = _open("NUL", _O_RDWR | _O_BINARY);
    if (opened >= 0 && opened != fd) {
      _dup2(opened, fd);
      _close(opened);
    }
  }
}

}  // namespace forgeval::platform
