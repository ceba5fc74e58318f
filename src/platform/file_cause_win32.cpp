#include <windows.h>

#include <cerrno>

#include "platform/file_cause.h"
#include "platform/win32_error.h"

namespace forgeval::platform {
namespace {

// The folder that holds `path`: everything up to its last separator, "." when it has none.
std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash + 1);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

int ErrnoFromWin32(unsigned long error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_CURRENT_DIRECTORY:
      return EBUSY;
    case ERROR_CANNOT_MAKE:
      return EMLINK;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK_ON_DEVICE:
      return ESPIPE;
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
      return EIO;
    case ERROR_SHARING_VIOLATION:
      return ETXTBSY;
    case ERROR_LOCK_VIOLATION:
      return ENOLCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_INVALID_FUNCTION:
      return EOPNOTSUPP;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return ECANCELED;
  }
}

int LastErrno() { return ErrnoFromWin32(GetLastError()); }

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
    case EBUSY:
      return FileCause::kRemoveCurrentDir;
    case EMLINK:
      return FileCause::kDirectoryFull;
    case ESPIPE:
    case EOVERFLOW:
      return FileCause::kBadSeek;
    case EIO:
      return FileCause::kHardIo;
    case ETXTBSY:
      return FileCause::kSharingViolation;
    case ENOLCK:
      return FileCause::kLockViolation;
    case ENOSPC:
    case EFBIG:
      return FileCause::kDiskFull;
    default:
      return FileCause::kGeneric;
  }
}

}  // namespace forgeval::platform
