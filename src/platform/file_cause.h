// The causes a failed file operation is reported by. They keep the codes of the program's file
// failure table (1 generic ... 14 end of file), so a report reads the same whichever system
// the program runs on; FileCauseOf classifies an error number into them. On Linux that is
// the system's errno; on Windows the platform services turn each Windows error into an errno
// value first (ERROR_DISK_FULL ENOSPC, ERROR_SHARING_VIOLATION ETXTBSY, ERROR_LOCK_VIOLATION
// ENOLCK, ERROR_CRC EIO, ...), so that the two classifications read alike; Windows adds the
// causes Linux never meets (the current folder, a full directory, a lock violation).
#ifndef FORGEVAL_PLATFORM_FILE_CAUSE_H_
#define FORGEVAL_PLATFORM_FILE_CAUSE_H_

#include <string>

namespace forgeval::platform {

enum class FileCause : int {
  kNone = 0,
  kGeneric = 1,            // any condition not listed below
  kFileNotFound = 2,       //
  kBadPath = 3,            // path or folder invalid
  kTooManyOpenFiles = 4,   //
  kAccessDenied = 5,       // also a read-only filesystem
  kInvalidFile = 6,        // invalid file descriptor
  kRemoveCurrentDir = 7,   //
  kDirectoryFull = 8,      // no free inode for another file
  kBadSeek = 9,            // positioning error
  kHardIo = 10,            // the device reported an input/output error
  kSharingViolation = 11,  //
  kLockViolation = 12,     //
  kDiskFull = 13,          // no space, quota exceeded, file too large
  kEndOfFile = 14,         //
};

// The cause of an operation on `path` that failed with `error` (an errno value). `path` is
// consulted only to tell ENOENT of a missing folder on the way (bad path) from a missing
// file (on Windows also of a missing drive: ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE), and
// on Linux ENOSPC of a filesystem out of inodes but not of room (directory full) from a full
// one.
FileCause FileCauseOf(int error, const std::string& path);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_FILE_CAUSE_H_
