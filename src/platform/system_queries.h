// The facts about the machine, the process and its files that the crash report describes:
// the program's path, the user, the distribution and kernel (on Windows the product name and
// version), processors, memory, the clock and local time, the loaded objects and their files.
//
// Every query may fail, and the report then shows a fixed fallback ("Unknown", an empty
// text, 0). The report reads them through this interface, whose default methods ask the
// system; a test derives from it and overrides a query to make it fail or to feed it fixed
// facts. RealSystemQueries() is the one the program uses. All methods are thread-safe.
#ifndef FORGEVAL_PLATFORM_SYSTEM_QUERIES_H_
#define FORGEVAL_PLATFORM_SYSTEM_QUERIES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/loaded_objects.h"

namespace forgeval::platform {

// Memory figures in bytes; a figure that cannot be read is 0.
struct MemoryFigures {
  uint32_t load_percent = 0;  // share of physical memory in use
  uint64_t physical_total = 0;
  uint64_t physical_free = 0;  // MemAvailable: what can be had without swapping
  uint64_t swap_total = 0;
  uint64_t swap_free = 0;
  uint64_t address_space_total = 0;  // the user part of the process's virtual address space
  uint64_t address_space_free = 0;   // that less the process's virtual size
};

// A calendar time in local time; month 1-12, day 1-31.
struct LocalDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

struct FileFacts {
  uint64_t size = 0;
  int64_t modified = 0;   // last modification, seconds since 1970 (UTC)
  std::string real_name;  // last component of the path with every symbolic link resolved
};

class SystemQueries {
 public:
  virtual ~SystemQueries() = default;

  // Full path of the program's file (GetModuleFileName on Windows).
  virtual std::optional<std::string> ProgramPath() const;
  // Login name of the effective user (GetUserNameA).
  virtual std::optional<std::string> UserName() const;
  // PRETTY_NAME of /etc/os-release (or /usr/lib/os-release); on Windows the registry's
  // ProductName ("Windows 10 Pro"), "unknown Windows version" without one.
  virtual std::optional<std::string> DistributionName() const;
  // The kernel's release text (uname -r); on Windows major.minor.build of RtlGetVersion
  // ("10.0.19045").
  virtual std::optional<std::string> KernelRelease() const;
  // The machine's network node name (uname -n; GetComputerNameExA's DNS host name).
  virtual std::optional<std::string> HostName() const;
  // The first "model name" of /proc/cpuinfo; on Windows ProcessorNameString of the registry's
  // HARDWARE\DESCRIPTION\System\CentralProcessor\0.
  virtual std::optional<std::string> ProcessorModel() const;
  // Processors online (GetSystemInfo); 0 when unknown.
  virtual int ProcessorsOnline() const;
  // /proc/meminfo and /proc/self/status; GlobalMemoryStatusEx on Windows, whose paging-file
  // figures are the commit limit and what is left of it.
  virtual MemoryFigures Memory() const;
  // Seconds since 1970 (UTC).
  virtual int64_t Now() const;
  // `seconds` (since 1970, UTC) in the local time zone.
  virtual std::optional<LocalDateTime> ToLocalTime(int64_t seconds) const;
  // Size, modification time and real name of a file (symbolic links followed; on Windows
  // GetFileAttributesEx, and the real name is the path's last component).
  virtual std::optional<FileFacts> FileFactsOf(const std::string& path) const;
  // ListLoadedObjects().
  virtual std::vector<LoadedObject> LoadedObjects() const;
};

const SystemQueries& RealSystemQueries();

// The user part of the virtual address space: 128 TiB with x86-64's 4-level paging, which is
// also what a process gets on a 5-level machine unless it asks for addresses above it.
inline constexpr uint64_t kUserAddressSpaceBytes = uint64_t{1} << 47;

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_SYSTEM_QUERIES_H_
