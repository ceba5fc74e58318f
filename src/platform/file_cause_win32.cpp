// SCAFFOLD: to be replaced by the Windows file service.
#include <cerrno>

#include "platform/file_cause.h"

namespace forgeval::platform {

FileCause FileCauseOf(int error, const std::string&) {
  switch (error) {
    case 0:
      return FileCause::kNone;
    case ENOENT:
      return FileCause::kFileNotFound;
    case EACCES:
      return FileCause::kAccessDenied;
    case ENOSPC:
      return FileCause::kDiskFull;
    default:
      return FileCause::kGeneric;
  }
}

}  // namespace forgeval::platform
