// The Windows answers to the system queries. The version comes from ntdll's RtlGetVersion:
// GetVersionExA reports at most the version the program's manifest claims to know (6.2, Windows
// 8, without one; Windows 7 under a fresh Wine), so it lies on every later Windows. The product
// name ("Windows 10 Pro") is the registry's; Windows 11 still writes "Windows 10" there, so builds
// from 22000 on are named 11, as Windows' own About page does.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/process.h"
#include "platform/system_queries.h"

namespace forgeval::platform {
namespace {

constexpr DWORD kFirstWindows11Build = 22000;
// From 1601-01-01 (FILETIME's start) to 1970-01-01, in seconds.
constexpr int64_t kFileTimeEpochSeconds = 11644473600;
constexpr int64_t kFileTimeTicksPerSecond = 10000000;

std::optional<RTL_OSVERSIONINFOW> OsVersion() {
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const FARPROC address = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (address == nullptr) return std::nullopt;
  // Through void (*)() so that the compiler accepts the change of function type.
  const auto get_version =
      reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(address));
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (get_version(&version) != 0) return std::nullopt;
  return version;
}

// A text value of HKEY_LOCAL_MACHINE\<key>, blanks around it removed; nullopt when missing or
// empty.
std::optional<std::string> MachineRegistryText(const char* key, const char* name) {
  char value[512];
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  std::string text(value, strnlen(value, sizeof value));
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  return text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

int64_t SecondsSince1970(const FILETIME& time) {
  const int64_t ticks =
      static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  return ticks / kFileTimeTicksPerSecond - kFileTimeEpochSeconds;
}

std::string LastComponent(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

std::optional<std::string> SystemQueries::UserName() const {
  char name[256 + 1];
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size)) return std::nullopt;
  return std::string(name, strnlen(name, sizeof name));
}

std::optional<std::string> SystemQueries::DistributionName() const {
  const std::optional<RTL_OSVERSIONINFOW> version = OsVersion();
  std::optional<std::string> name =
      MachineRegistryText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName");
  if (!name) return "unknown Windows version";
  if (version && version->dwMajorVersion == 10 && version->dwBuildNumber >= kFirstWindows11Build &&
      name->starts_with("Windows 10"))
    name->replace(0, 10, "Windows 11");
  return name;
}

std::optional<std::string> SystemQueries::KernelRelease() const {
  const std::optional<RTL_OSVERSIONINFOW> version = OsVersion();
  if (!version) return std::nullopt;
  char text[48];
  snprintf(text, sizeof text, "%lu.%lu.%lu", version->dwMajorVersion, version->dwMinorVersion,
           version->dwBuildNumber & 0xFFFF);
  return std::string(text);
}

std::optional<std::string> SystemQueries::HostName() const {
  char name[256];
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size) || size == 0) return std::nullopt;
  return std::string(name, size);
}

std::optional<std::string> SystemQueries::ProcessorModel() const {
  return MachineRegistryText("HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                             "ProcessorNameString");
}

int SystemQueries::ProcessorsOnline() const {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return static_cast<int>(info.dwNumberOfProcessors);
}

MemoryFigures SystemQueries::Memory() const {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return {};
  // The paging-file figures are the commit limit and what is left of it (memory plus paging
  // files), as Windows reports them.
  return {static_cast<uint32_t>(status.dwMemoryLoad),
          status.ullTotalPhys,
          status.ullAvailPhys,
          status.ullTotalPageFile,
          status.ullAvailPageFile,
          status.ullTotalVirtual,
          status.ullAvailVirtual};
}

int64_t SystemQueries::Now() const { return static_cast<int64_t>(time(nullptr)); }

std::optional<LocalDateTime> SystemQueries::ToLocalTime(int64_t seconds) const {
  if (seconds < -kFileTimeEpochSeconds) return std::nullopt;
  const auto ticks =
      static_cast<uint64_t>((seconds + kFileTimeEpochSeconds) * kFileTimeTicksPerSecond);
  const FILETIME utc_time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  // The zone's rule for that date, so a summer date in winter gets summer time.
  if (!FileTimeToSystemTime(&utc_time, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return std::nullopt;
  return LocalDateTime{local.wYear, local.wMonth,  local.wDay,
                       local.wHour, local.wMinute, local.wSecond};
}

std::optional<FileFacts> SystemQueries::FileFactsOf(const std::string& path) const {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  FileFacts facts;
  facts.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  facts.modified = SecondsSince1970(data.ftLastWriteTime);
  facts.real_name = LastComponent(path);
  return facts;
}

}  // namespace forgeval::platform
