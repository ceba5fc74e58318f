#include "platform/process_image.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>

namespace forgeval::platform {
namespace {

// Parses "start-end perms offset dev inode   name".
std::optional<MemoryMapping> ParseMapping(const std::string& line) {
  MemoryMapping mapping;
  char permissions[5] = {};
  unsigned long long start = 0, end = 0, offset = 0, inode = 0;
  int name_at = 0;
  if (sscanf(line.c_str(), "%llx-%llx %4s %llx %*x:%*x %llu %n", &start, &end, permissions, &offset,
             &inode, &name_at) < 5)
    return std::nullopt;
  mapping.start = start;
  mapping.end = end;
  mapping.file_offset = offset;
  mapping.inode = inode;
  mapping.readable = permissions[0] == 'r';
  mapping.writable = permissions[1] == 'w';
  mapping.executable = permissions[2] == 'x';
  mapping.shared = permissions[3] == 's';
  if (name_at > 0 && static_cast<size_t>(name_at) < line.size())
    mapping.name = line.substr(static_cast<size_t>(name_at));
  return mapping;
}

}  // namespace

std::vector<MemoryMapping> ReadMemoryMap() {
  std::vector<MemoryMapping> mappings;
  std::optional<std::string> text = ReadWholeFile("/proc/self/maps");
  if (!text) return mappings;
  for (size_t at = 0; at < text->size();) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) end = text->size();
    if (std::optional<MemoryMapping> mapping = ParseMapping(text->substr(at, end - at)))
      mappings.push_back(std::move(*mapping));
    at = end + 1;
  }
  return mappings;
}

SelfMemory::SelfMemory() : fd_(open("/proc/self/mem", O_RDONLY | O_CLOEXEC)) {}

size_t SelfMemory::Read(uint64_t address, void* buffer, size_t size) const {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fd_.get(), bytes + done, size - done, static_cast<off_t>(address + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

std::string ReadAuxVector() { return ReadWholeFile("/proc/self/auxv").value_or(std::string()); }

ProcessIdentity ReadProcessIdentity() {
  ProcessIdentity identity;
  identity.pid = static_cast<int>(getpid());
  identity.parent_pid = static_cast<int>(getppid());
  identity.process_group = static_cast<int>(getpgrp());
  identity.session = static_cast<int>(getsid(0));
  identity.user_id = getuid();
  identity.group_id = getgid();
  identity.command = ReadWholeFile("/proc/self/comm").value_or(std::string());
  if (!identity.command.empty() && identity.command.back() == '\n') identity.command.pop_back();
  identity.arguments = ReadWholeFile("/proc/self/cmdline").value_or(std::string());
  while (!identity.arguments.empty() && identity.arguments.back() == '\0')
    identity.arguments.pop_back();
  for (char& c : identity.arguments) {
    if (c == '\0') c = ' ';
  }
  return identity;
}

uint64_t PageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

}  // namespace forgeval::platform
