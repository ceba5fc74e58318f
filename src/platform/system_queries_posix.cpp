#include "platform/system_queries.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string_view>

#include "platform/files.h"
#include "platform/process.h"

namespace forgeval::platform {
namespace {

// The rest of the first line of `text` that begins with `key`.
std::optional<std::string_view> LineAfter(std::string_view text, std::string_view key) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    if (line.starts_with(key)) return line.substr(key.size());
    at = end + 1;
  }
  return std::nullopt;
}

// A "Key:   123 kB" figure of /proc/meminfo or /proc/self/status, in bytes.
std::optional<uint64_t> KilobyteField(const std::string& text, const std::string& key) {
  const std::optional<std::string_view> rest = LineAfter(text, key + ":");
  if (!rest) return std::nullopt;
  return uint64_t{strtoull(std::string(*rest).c_str(), nullptr, 10)} * 1024;
}

// The value of an os-release assignment: quotes removed, backslash escapes resolved.
std::string ShellValue(const std::string& raw) {
  if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
    std::string value;
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
      if (raw.front() == '"' && raw[i] == '\\' && i + 2 < raw.size()) ++i;
      value += raw[i];
    }
    return value;
  }
  return raw;
}

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::string> SystemQueries::UserName() const {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_name == nullptr)
    return std::nullopt;
  return std::string(found->pw_name);
}

std::optional<std::string> SystemQueries::DistributionName() const {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::optional<std::string> text = ReadWholeFile(path);
    if (!text) continue;
    const std::optional<std::string_view> raw = LineAfter(*text, "PRETTY_NAME=");
    if (!raw) return std::nullopt;
    std::string value = ShellValue(std::string(*raw));
    if (value.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> SystemQueries::KernelRelease() const {
  utsname names{};
  if (uname(&names) != 0) return std::nullopt;
  return std::string(names.release);
}

std::optional<std::string> SystemQueries::HostName() const {
  utsname names{};
  if (uname(&names) != 0) return std::nullopt;
  return std::string(names.nodename);
}

std::optional<std::string> SystemQueries::ProcessorModel() const {
  std::optional<std::string> text = ReadWholeFile("/proc/cpuinfo");
  if (!text) return std::nullopt;
  // "model name\t: AMD EPYC 7763 64-Core Processor"
  std::optional<std::string_view> rest = LineAfter(*text, "model name");
  if (!rest || rest->find(':') == std::string_view::npos) return std::nullopt;
  rest->remove_prefix(rest->find(':') + 1);
  while (!rest->empty() && rest->front() == ' ') rest->remove_prefix(1);
  if (rest->empty()) return std::nullopt;
  return std::string(*rest);
}

int SystemQueries::ProcessorsOnline() const {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<int>(count) : 0;
}

MemoryFigures SystemQueries::Memory() const {
  MemoryFigures figures;
  if (std::optional<std::string> meminfo = ReadWholeFile("/proc/meminfo")) {
    figures.physical_total = KilobyteField(*meminfo, "MemTotal").value_or(0);
    figures.physical_free = KilobyteField(*meminfo, "MemAvailable").value_or(0);
    figures.swap_total = KilobyteField(*meminfo, "SwapTotal").value_or(0);
    figures.swap_free = KilobyteField(*meminfo, "SwapFree").value_or(0);
    if (figures.physical_total >= figures.physical_free && figures.physical_total > 0) {
      figures.load_percent = static_cast<uint32_t>(
          (figures.physical_total - figures.physical_free) * 100 / figures.physical_total);
    }
  }
  figures.address_space_total = kUserAddressSpaceBytes;
  if (std::optional<std::string> status = ReadWholeFile("/proc/self/status")) {
    if (std::optional<uint64_t> used = KilobyteField(*status, "VmSize");
        used && *used <= kUserAddressSpaceBytes)
      figures.address_space_free = kUserAddressSpaceBytes - *used;
  }
  return figures;
}

int64_t SystemQueries::Now() const { return static_cast<int64_t>(time(nullptr)); }

std::optional<LocalDateTime> SystemQueries::ToLocalTime(int64_t seconds) const {
  const time_t when = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::nullopt;
  return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::optional<FileFacts> SystemQueries::FileFactsOf(const std::string& path) const {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  FileFacts facts;
  facts.size = static_cast<uint64_t>(info.st_size);
  facts.modified = static_cast<int64_t>(info.st_mtim.tv_sec);
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  facts.real_name = LastComponent(resolved != nullptr ? std::string(resolved.get()) : path);
  return facts;
}

}  // namespace forgeval::platform
