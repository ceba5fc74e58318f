// The disks' own health reports through smartctl (smartmontools): the program to run, the
// whole disk that holds a folder, and one `smartctl -j -a` run. What the JSON says is read
// above this layer.
#ifndef FORGEVAL_PLATFORM_SMART_STATUS_H_
#define FORGEVAL_PLATFORM_SMART_STATUS_H_

#include <chrono>
#include <optional>
#include <string>

namespace forgeval::platform {

// Environment variable naming the smartctl program (the tests name a fake one).
inline constexpr const char* kSmartctlVariable = "FORGEVAL_SMARTCTL";

// The variable's value when set and not empty, else "smartctl" looked up on PATH; none when
// that is not an executable file.
std::optional<std::string> FindSmartctl();

// "/dev/sda" for a folder on /dev/sda2 (the whole disk of the partition that holds it,
// through `sys_root`/dev/block); none when its file system is on no disk (tmpfs, overlay).
std::optional<std::string> DiskOfFolder(const std::string& folder, const std::string& sys_root);

struct SmartctlResult {
  int exit_status = 0;  // smartctl's bit mask: 1 and 2 mean the device could not be read
  std::string output;   // the JSON on standard output
};
// Runs `program -j -a device`, standard error discarded; none when it cannot be started or
// has not ended within `limit`: a disk that hangs its SMART queries is ended (SIGKILL) and read
// as unreadable, so that it cannot hold up the start or the end of a run.
std::optional<SmartctlResult> RunSmartctl(
    const std::string& program, const std::string& device,
    std::chrono::milliseconds limit = std::chrono::milliseconds(60'000));

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_SMART_STATUS_H_
