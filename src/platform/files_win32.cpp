// Files are opened with CreateFileA, so that the sharing, the write-through and the refusal of
// links are the system's own, and then handed to the C runtime as descriptors
// (_open_osfhandle): the callers keep one kind of file handle on every system.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/win32_error.h"

namespace forgeval::platform {
namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A descriptor for `handle`, which it then owns; invalid (and the handle closed) when the C
// runtime's table is full.
UniqueFd DescriptorFor(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
  }
  return UniqueFd(fd);
}

// The lock that AppendWholeLine holds: one byte far beyond any real file's end, so that readers
// of the log are never refused (a lock on Windows also blocks other handles' reads and writes of
// its range); only appenders that take the same lock wait for each other.
OVERLAPPED AppendLockRange() {
  OVERLAPPED range{};
  range.Offset = 0xFFFFFFFE;
  range.OffsetHigh = 0x7FFFFFFF;
  return range;
}

// True for an ordinary file on a disk: no folder, device, pipe or reparse point (a symbolic
// link or junction opened as itself).
bool IsOrdinaryFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) _close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) _close(fd_);
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

UniqueFd OpenForAppend(const std::string& path, bool write_through, bool readable) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link planted at the name as itself, which is then
  // refused below, instead of the file it points to.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT |
                      (write_through ? FILE_FLAG_WRITE_THROUGH : 0);
  // Appending without the right to write elsewhere: every write lands at the end of the file,
  // whoever else appends meanwhile (O_APPEND on Linux).
  constexpr DWORD kAppend =
      FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
  HANDLE handle = CreateFileA(path.c_str(), kAppend | (readable ? GENERIC_READ : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    // A folder cannot be opened as a file at all: it is "not a regular file" as on Linux.
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    errno = folder ? EINVAL : ErrnoFromWin32(error);
    return UniqueFd();
  }
  if (!IsOrdinaryFile(handle)) {
    CloseHandle(handle);
    errno = EINVAL;
    return UniqueFd();
  }
  return DescriptorFor(handle, _O_APPEND | _O_BINARY);
}

bool WriteAll(int fd, std::string_view data) {
  HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  while (!data.empty()) {
    DWORD written = 0;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      // The console and pipes through the C runtime, which turns line feeds into CR LF on a
      // text-mode descriptor.
      const int put = _write(fd, data.data(), static_cast<unsigned>(data.size()));
      if (put < 0) return false;
      written = static_cast<DWORD>(put);
    } else if (!WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written,
                          nullptr)) {
      errno = LastErrno();
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

bool AppendWholeLine(int fd, std::string_view line) {
  HANDLE handle = HandleOf(fd);
  OVERLAPPED lock = AppendLockRange();
  if (handle == INVALID_HANDLE_VALUE ||
      !LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock)) {
    errno = handle == INVALID_HANDLE_VALUE ? EBADF : LastErrno();
    return false;
  }
  LARGE_INTEGER size;
  bool written = GetFileSizeEx(handle, &size) != 0;
  const LONGLONG before = written ? size.QuadPart : 0;
  char last = '\n';
  if (written && before > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(before - 1);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(before - 1) >> 32);
    DWORD got = 0;
    written = ReadFile(handle, &last, 1, &got, &at) && got == 1;
    if (!written) errno = LastErrno();
  }
  if (written && last != '\n') written = WriteAll(fd, "\n");
  if (written) written = WriteAll(fd, line);
  const int error = errno;
  if (!written && GetFileSizeEx(handle, &size) && size.QuadPart > before) {
    // Part of the line (or the added line feed) reached the file: take it back.
    // Cutting needs the right to write anywhere, which only a second handle has.
    HANDLE cutter = ReOpenFile(handle, GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    LARGE_INTEGER cut;
    cut.QuadPart = before;
    if (cutter != INVALID_HANDLE_VALUE) {
      if (SetFilePointerEx(cutter, cut, nullptr, FILE_BEGIN) && SetEndOfFile(cutter)) {
        FlushFileBuffers(cutter);
      }
      CloseHandle(cutter);
    }
  }
  lock = AppendLockRange();
  UnlockFileEx(handle, 0, 1, 0, &lock);
  errno = error;
  return written;
}

ReplacementFile::ReplacementFile(const std::string& path) : path_(path) {
  // A fresh name beside the target, created exclusively (CREATE_NEW never opens what is there,
  // a link included); a few numbers are tried in case one is taken.
  static std::atomic<unsigned> sequence{0};
  for (int attempt = 0; attempt < 16 && !fd_.valid(); ++attempt) {
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".%lx%04x", GetCurrentProcessId(), sequence++ & 0xFFFF);
    temporary_path_ = path + suffix;
    HANDLE handle = CreateFileA(temporary_path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      fd_ = DescriptorFor(handle, _O_BINARY);
    } else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
      errno = LastErrno();
      return;
    }
  }
}

ReplacementFile::~ReplacementFile() {
  if (fd_.valid()) {
    fd_ = UniqueFd();
    DeleteFileA(temporary_path_.c_str());
  }
}

bool ReplacementFile::Commit() {
  if (!fd_.valid()) return false;
  const bool flushed = FlushFileBuffers(HandleOf(fd_.get())) != 0;
  const bool closed = _close(fd_.Release()) == 0;
  if (flushed && closed &&
      MoveFileExA(temporary_path_.c_str(), path_.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileA(temporary_path_.c_str());
  return false;
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  HANDLE handle = HandleOf(fd);
  // A positioned WriteFile moves the file pointer; pwrite leaves it, and so does this.
  LARGE_INTEGER none{}, position{};
  if (!SetFilePointerEx(handle, none, &position, FILE_CURRENT)) {
    errno = LastErrno();
    return false;
  }
  struct Restore {
    HANDLE handle;
    LARGE_INTEGER position;
    ~Restore() { SetFilePointerEx(handle, position, nullptr, FILE_BEGIN); }
  } restore{handle, position};
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, bytes, chunk, &written, &at) || written == 0) {
      errno = LastErrno();
      return false;
    }
    bytes += written;
    size -= written;
    offset += written;
  }
  return true;
}

bool SetFileSize(int fd, uint64_t size) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  HANDLE handle = HandleOf(fd);
  if (SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle)) return true;
  errno = LastErrno();
  return false;
}

std::optional<std::string> ReadWholeFile(const std::string& path, int* error) {
  // A failed call leaves its errno value in errno too, as on Linux; a folder or device does
  // not (nothing failed there).
  auto fail = [error](int value) -> std::optional<std::string> {
    if (error != nullptr) *error = value;
    if (value != EISDIR && value != EINVAL) errno = value;
    return std::nullopt;
  };
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder open, so that it is told apart (EISDIR).
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail(LastErrno());
  UniqueFd fd = DescriptorFor(handle, _O_RDONLY | _O_BINARY);
  if (!fd.valid()) return fail(EMFILE);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(EISDIR);
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) return fail(EINVAL);
  std::string content;
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return fail(LastErrno());
    }
    if (got == 0) break;
    content.append(buffer, got);
  }
  return content;
}

std::string FileErrorText(int error) {
  return error == EINVAL ? "not a regular file" : strerror(error);
}

}  // namespace forgeval::platform
