#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace forgeval::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

int UniqueFd::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

UniqueFd OpenForAppend(const std::string& path, bool write_through, bool readable) {
  // O_NONBLOCK keeps a FIFO planted at the name from blocking the open; it is refused below.
  int flags = (readable ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC |
              O_NONBLOCK | O_NOCTTY;
  if (write_through) flags |= O_DSYNC;
  UniqueFd fd(open(path.c_str(), flags, 0644));
  if (!fd.valid()) {
    if (errno == ENXIO) errno = EINVAL;  // a FIFO without a reader, a device without its unit
    return fd;
  }
  struct stat info;
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return UniqueFd();
  }
  return fd;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t written = write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool AppendWholeLine(int fd, std::string_view line) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  struct stat info;
  bool written = fstat(fd, &info) == 0;
  const off_t before = written ? info.st_size : 0;
  char last = '\n';
  if (written && before > 0 && pread(fd, &last, 1, before - 1) != 1) written = false;
  if (written && last != '\n') written = WriteAll(fd, "\n");
  if (written) written = WriteAll(fd, line);
  const int error = errno;
  if (!written && fstat(fd, &info) == 0 && info.st_size > before) {
    // Part of the line (or the added line feed) reached the file: take it back.
    if (ftruncate(fd, before) == 0) fsync(fd);
  }
  flock(fd, LOCK_UN);
  errno = error;
  return written;
}

ReplacementFile::ReplacementFile(const std::string& path)
    : path_(path), temporary_path_(path + ".XXXXXX") {
  fd_ = UniqueFd(mkostemp(temporary_path_.data(), O_CLOEXEC));
}

ReplacementFile::~ReplacementFile() {
  if (fd_.valid()) {
    fd_ = UniqueFd();
    unlink(temporary_path_.c_str());
  }
}

bool ReplacementFile::Commit() {
  if (!fd_.valid()) return false;
  const bool synced = fsync(fd_.get()) == 0;
  const bool closed = close(fd_.Release()) == 0;
  if (synced && closed && rename(temporary_path_.c_str(), path_.c_str()) == 0) return true;
  unlink(temporary_path_.c_str());
  return false;
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

bool SetFileSize(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }

std::optional<std::string> ReadWholeFile(const std::string& path, int* error) {
  auto fail = [error](int value) -> std::optional<std::string> {
    if (error != nullptr) *error = value;
    return std::nullopt;
  };
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return fail(errno);
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return fail(errno);
  if (!S_ISREG(info.st_mode)) return fail(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  std::string content;
  char buffer[16384];
  for (;;) {
    ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  return content;
}

std::string FileErrorText(int error) {
  return error == EINVAL ? "not a regular file" : strerror(error);
}

}  // namespace forgeval::platform
