// Windows error codes (GetLastError) as the errno values the platform services return, so that
// the code above the platform layer sees one kind of error number on every system. For the
// win32 implementations only; defined in file_cause_win32.cpp beside the classification of
// those errno values into file failure causes.
#ifndef FORGEVAL_PLATFORM_WIN32_ERROR_H_
#define FORGEVAL_PLATFORM_WIN32_ERROR_H_

namespace forgeval::platform {

// The errno value for the Windows error `error`: ERROR_DISK_FULL and its kin ENOSPC,
// ERROR_ACCESS_DENIED EACCES, ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND ENOENT (the cause
// then tells a missing folder on the way), ERROR_SHARING_VIOLATION ETXTBSY,
// ERROR_LOCK_VIOLATION ENOLCK, device errors (ERROR_CRC, ERROR_IO_DEVICE, ...) EIO. An error
// without a counterpart gives ECANCELED, which no cause claims: a generic failure. 0 gives 0.
int ErrnoFromWin32(unsigned long error);

// ErrnoFromWin32(GetLastError()).
int LastErrno();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_WIN32_ERROR_H_
