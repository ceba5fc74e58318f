// Windows has no kernel log of this form (its hardware errors go to the WHEA event channel,
// which this program does not read): the source is always unavailable.
#include <cerrno>
#include <cstdlib>

#include "platform/kernel_log.h"

namespace forgeval::platform {

std::string KmsgPath() {
  const char* value = std::getenv(kKmsgVariable);
  return value != nullptr ? value : "";
}

bool KernelLog::Open(const std::string&) {
  errno = ENOSYS;
  return false;
}

ssize_t KernelLog::ReadChunk(char*, size_t) { return 0; }

KernelLogNews KernelLog::ReadNew() { return {}; }

}  // namespace forgeval::platform
