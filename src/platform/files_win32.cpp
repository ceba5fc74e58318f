// SCAFFOLD: plain C runtime versions, to be replaced by the Windows file service.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace forgeval::platform {

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

UniqueFd OpenForAppend(const std::string& path, bool, bool readable) {
  return UniqueFd(_open(path.c_str(),
                        (readable ? _O_RDWR : _O_WRONLY) | _O_APPEND | _O_CREAT | _O_BINARY,
                        _S_IREAD | _S_IWRITE));
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const int written = _write(fd, data.data(), static_cast<unsigned>(data.size()));
    if (written < 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool AppendWholeLine(int fd, std::string_view line) { return WriteAll(fd, line); }

ReplacementFile::ReplacementFile(const std::string& path)
    : path_(path), temporary_path_(path + ".new") {
  fd_ = UniqueFd(_open(temporary_path_.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY,
                       _S_IREAD | _S_IWRITE));
}

ReplacementFile::~ReplacementFile() {
  if (fd_.valid()) {
    fd_ = UniqueFd();
    _unlink(temporary_path_.c_str());
  }
}

bool ReplacementFile::Commit() {
  if (!fd_.valid()) return false;
  const bool closed = _close(fd_.Release()) == 0;
  if (closed && MoveFileExA(temporary_path_.c_str(), path_.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  _unlink(temporary_path_.c_str());
  return false;
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  if (_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
  return WriteAll(fd, std::string_view(static_cast<const char*>(data), size));
}

bool SetFileSize(int fd, uint64_t size) { return _chsize_s(fd, static_cast<int64_t>(size)) == 0; }

std::optional<std::string> ReadWholeFile(const std::string& path, int* error) {
  auto fail = [error](int value) -> std::optional<std::string> {
    if (error != nullptr) *error = value;
    return std::nullopt;
  };
  UniqueFd fd(_open(path.c_str(), _O_RDONLY | _O_BINARY));
  if (!fd.valid()) return fail(errno);
  std::string content;
  char buffer[16384];
  for (;;) {
    const int got = _read(fd.get(), buffer, sizeof buffer);
    if (got < 0) return fail(errno);
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  return content;
}

std::string FileErrorText(int error) {
  return error == EINVAL ? "not a regular file" : strerror(error);
}

}  // namespace forgeval::platform
