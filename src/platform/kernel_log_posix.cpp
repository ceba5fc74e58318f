#include "platform/kernel_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace forgeval::platform {

std::string KmsgPath() {
  const char* value = std::getenv(kKmsgVariable);
  return value != nullptr && *value != '\0' ? value : "/dev/kmsg";
}

bool KernelLog::Open(const std::string& path) {
  fd_ = UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd_.valid()) return false;
  // On /dev/kmsg this moves to just after the newest record; on a plain file to its end.
  lseek(fd_.get(), 0, SEEK_END);
  return true;
}

ssize_t KernelLog::ReadChunk(char* buffer, size_t size) { return read(fd_.get(), buffer, size); }

KernelLogNews KernelLog::ReadNew() {
  KernelLogNews news;
  // /dev/kmsg refuses reads into buffers smaller than the record (EINVAL); records are at
  // most about 8 KiB with their dictionary.
  char buffer[16384];
  for (;;) {
    const ssize_t got = ReadChunk(buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EPIPE) {
      news.overwritten = true;  // the next read goes on with the oldest record left
      continue;
    }
    if (got <= 0) break;  // the end (EAGAIN, or 0 on a plain file) or a failed read
    partial_.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
      Parse(std::string_view(partial_).substr(start, end - start), news);
    partial_.erase(0, start);
  }
  return news;
}

void KernelLog::Parse(std::string_view line, KernelLogNews& news) {
  // Dictionary lines (" SUBSYSTEM=pci") belong to the record before; they add nothing the
  // operator needs in the quoted text.
  if (line.empty() || line.front() == ' ') return;
  const size_t semicolon = line.find(';');
  if (semicolon == std::string_view::npos) return;
  const std::string_view prefix = line.substr(0, semicolon);
  uint64_t fields[3] = {0, 0, 0};
  size_t at = 0;
  for (uint64_t& field : fields) {
    if (at > prefix.size()) return;
    const auto [end, error] =
        std::from_chars(prefix.data() + at, prefix.data() + prefix.size(), field);
    if (error != std::errc()) return;
    at = static_cast<size_t>(end - prefix.data()) + 1;
  }
  const char flag = at < prefix.size() ? prefix[at] : '-';
  const std::string_view text = line.substr(semicolon + 1);
  const uint64_t sequence = fields[1];
  if (last_sequence_ && sequence > *last_sequence_ + 1) news.lost += sequence - *last_sequence_ - 1;
  if (last_sequence_ && sequence <= *last_sequence_) return;  // read before
  last_sequence_ = sequence;
  // A fragment of a continued line ('+') finishes the record before it.
  if (flag == '+' && !news.records.empty()) {
    news.records.back().text += text;
    return;
  }
  news.records.push_back({sequence, static_cast<int>(fields[0] & 7), std::string(text)});
}

}  // namespace forgeval::platform
