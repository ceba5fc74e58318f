#include "platform/file_cause.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace forgeval::platform {
namespace {

// The folder that holds `path`: everything up to its last '/', "." when it has none.
std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool NoFreeInodes(const std::string& folder) {
  struct statvfs info;
  // Filesystems without an inode count (f_files 0) allocate inodes as they go.
  return statvfs(folder.c_str(), &info) == 0 && info.f_files != 0 && info.f_favail == 0;
}

}  // namespace

FileCause FileCauseOf(int error, const std::string& path) {
  switch (error) {
    case 0:
      return FileCause::kNone;
    case ENOENT:
      return IsFolder(ParentFolder(path)) ? FileCause::kFileNotFound : FileCause::kBadPath;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return FileCause::kBadPath;
    case EMFILE:
    case ENFILE:
      return FileCause::kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return FileCause::kAccessDenied;
    case EBADF:
      return FileCause::kInvalidFile;
    case ESPIPE:
    case EOVERFLOW:
    case ENXIO:
      return FileCause::kBadSeek;
    case EIO:
      return FileCause::kHardIo;
    case ETXTBSY:
      return FileCause::kSharingViolation;
    case EAGAIN:
      return FileCause::kLockViolation;
    case ENOSPC:
      return NoFreeInodes(ParentFolder(path)) ? FileCause::kDirectoryFull : FileCause::kDiskFull;
    case EDQUOT:
    case EFBIG:
      return FileCause::kDiskFull;
    default:
      return FileCause::kGeneric;
  }
}

}  // namespace forgeval::platform
