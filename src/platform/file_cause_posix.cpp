#include "platform/file_cause.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>

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

// True when the filesystem has run out of inodes while it still has room for data: a full
// directory rather than a full disk. Filesystems without an inode count (f_files 0) allocate
// inodes as they go.
bool OutOfInodesOnly(const std::string& folder) {
  constexpr uint64_t kSomeRoom = 1 << 20;
  struct statvfs info;
  return statvfs(folder.c_str(), &info) == 0 && info.f_files != 0 && info.f_favail == 0 &&
         static_cast<uint64_t>(info.f_bavail) * info.f_frsize >= kSomeRoom;
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
      return OutOfInodesOnly(ParentFolder(path)) ? FileCause::kDirectoryFull : FileCause::kDiskFull;
    case EDQUOT:
    case EFBIG:
      return FileCause::kDiskFull;
    default:
      return FileCause::kGeneric;
  }
}

}  // namespace forgeval::platform
