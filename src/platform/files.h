// File access as the run log and the configuration reader need it. The program often runs
// as root (or an administrator) and writes into shared folders, so a file it appends to is
// opened without following a symbolic link planted at its name, and only an ordinary file is
// written. Descriptors are the C runtime's on both systems: on Windows each wraps a handle
// from CreateFileA (_open_osfhandle), and failures are given as errno values there too.
#ifndef FORGEVAL_PLATFORM_FILES_H_
#define FORGEVAL_PLATFORM_FILES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace forgeval::platform {

// An open file descriptor that is closed when the object goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();

 private:
  int fd_ = -1;
};

// Opens `path` for appending, creating it (mode 0644 on Linux) when it is missing. Fails
// (invalid fd) when the last component is a symbolic link (O_NOFOLLOW; on Windows
// FILE_FLAG_OPEN_REPARSE_POINT, a link or junction then opened as itself), or when the name is
// not an ordinary file (a folder, a pipe, a device; errno is then EINVAL). With `write_through`
// every write reaches the disk before it returns (O_DSYNC; FILE_FLAG_WRITE_THROUGH); with
// `readable` the file is also open for reading. On Windows the file is shared for reading,
// writing and deletion, and opened for appending only, so every write lands at its end.
UniqueFd OpenForAppend(const std::string& path, bool write_through = false, bool readable = false);

// Appends `line` (ending in a line feed) to a file opened by OpenForAppend with `readable`,
// whole or not at all: a file that does not end in a line feed gets one first, and a write
// that fails or falls short (a full disk) is cut off again, so the file keeps its length from
// before. The file is locked meanwhile (flock; on Windows LockFileEx on one byte far beyond
// the end, so readers are never refused), so another process appending to it is not cut off.
// False, with errno, when the line was not written.
bool AppendWholeLine(int fd, std::string_view line);

// A file that replaces whatever is at `path` only once it is complete: it is written under a
// fresh name beside it (created exclusively, mode 0600 on Linux, CREATE_NEW on Windows, so
// nothing planted there is followed or clobbered), then synced (fsync, FlushFileBuffers) and
// renamed over `path` (rename; MoveFileExA with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH). Without Commit the new file is removed
// and `path` keeps its old content.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& path);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  // Invalid when the new file could not be created.
  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  // Syncs, closes and renames the new file over the target. False when any step failed (the
  // new file is then removed).
  bool Commit();

 private:
  std::string path_;
  std::string temporary_path_;
  UniqueFd fd_;
};

// Writes all of `data` with as few write calls as the kernel allows (one for a log line on
// an O_APPEND file, which keeps lines of several writers whole). False on any error. On
// Windows a file on a disk is written with WriteFile; the console and pipes through the C
// runtime, which gives their text-mode descriptors CR LF line ends.
bool WriteAll(int fd, std::string_view data);

// Writes all of `data` at `offset` (pwrite), leaving the file position alone. False on error.
bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t size);

// Sets the file's length, growing it with zero bytes (holes where the file system allows).
bool SetFileSize(int fd, uint64_t size);

// The whole content of an ordinary file, or nothing when it cannot be read. `error`, when
// given, then holds why: an errno value, EISDIR for a folder and EINVAL for anything else
// that is not an ordinary file (a pipe, a device).
std::optional<std::string> ReadWholeFile(const std::string& path, int* error = nullptr);

// Why ReadWholeFile or OpenForAppend failed with `error`, for an operator: the system's text,
// and "not a regular file" for EINVAL.
std::string FileErrorText(int error);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_FILES_H_
