// The hardware's own error counters and sensors as Linux keeps them under /sys and /proc:
// memory ECC counters of the EDAC controllers, the machine-check rows of /proc/interrupts,
// PCIe AER counters, thermal throttle counts, hwmon temperatures and processor frequencies.
// Each reader takes the root it reads below ("/sys", "/proc", or a fixture tree in a test)
// and returns what it found; an absent source gives an empty result, never zeros, so the
// caller can name it as unavailable.
//
// The readers keep no state and may be called from any thread.
#ifndef FORGEVAL_PLATFORM_HEALTH_COUNTERS_H_
#define FORGEVAL_PLATFORM_HEALTH_COUNTERS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace forgeval::platform {

// Whether this system keeps the hardware's own error reports where these readers, the kernel
// log's and SMART's look. False on Windows, which keeps them elsewhere (its WHEA event channel,
// the vendors' tools): the sources are then named as not read, never taken as passed.
bool HealthSourcesReadable();

// Environment variables that replace /sys and /proc for the health readers (the tests point
// them at fixture trees).
inline constexpr const char* kSysRootVariable = "FORGEVAL_SYS_ROOT";
inline constexpr const char* kProcRootVariable = "FORGEVAL_PROC_ROOT";
// "/sys" and "/proc", or the variables' values when set and not empty.
std::string SysRoot();
std::string ProcRoot();

enum class CounterKind {
  kCorrectedMemory,
  kUncorrectedMemory,
  kMachineCheck,        // MCE: machine-check exceptions
  kThresholdInterrupt,  // THR: corrected errors over the threshold
  kDeferredError,       // DFR: deferred (uncorrected, not yet consumed) errors
  kAerCorrectable,
  kAerNonFatal,
  kAerFatal,
  kThrottle,
};

// One counter as read now. Counters only ever grow unless the driver resets them.
struct HealthCounter {
  CounterKind kind;
  std::string key;    // unique among all counters, e.g. "mc0/dimm3/dimm_ce_count"
  std::string place;  // what the operator reads: "mc0 (DIMM_A1)", "0000:03:00.0", "cpu1 core"
  int64_t value = 0;
};

struct MemoryEccCounters {
  int controllers = 0;
  int modules = 0;  // dimm*/ or rank*/ folders, or csrow channels in the legacy layout
  std::vector<HealthCounter> counters;
};

// edac/mc/mc*/ below `sys_root`/devices/system: per module (dimm*/ or rank*/, else the legacy
// csrow*/ channels) with the module's label, plus each controller's errors that name no module.
// None when there is no controller.
std::optional<MemoryEccCounters> ReadMemoryEcc(const std::string& sys_root);

// The MCE, THR and DFR rows of `proc_root`/interrupts, each summed over the processor columns.
// None when the file or all three rows are missing.
std::optional<std::vector<HealthCounter>> ReadMachineCheckCounters(const std::string& proc_root);

// The TOTAL_ERR_COR, TOTAL_ERR_NONFATAL and TOTAL_ERR_FATAL lines of every PCI device's
// aer_dev_* files (the sum of the other lines when a total is missing). Empty: no AER.
std::vector<HealthCounter> ReadPcieAerCounters(const std::string& sys_root);

// Every processor's thermal_throttle/*_throttle_count that holds a number (an offline
// processor's files are empty). Empty: no throttle counters.
std::vector<HealthCounter> ReadThrottleCounters(const std::string& sys_root);

struct TemperatureReading {
  std::string sensor;  // the hwmon name and the input's label, e.g. "coretemp Core 0"
  double celsius = 0;
  std::optional<double> critical;  // the sensor's critical mark, when it has one
};
// Every hwmon temp*_input below `sys_root`/class/hwmon.
std::vector<TemperatureReading> ReadTemperatures(const std::string& sys_root);

// Every processor's cpufreq/scaling_cur_freq, in kHz.
std::vector<int64_t> ReadProcessorFrequencies(const std::string& sys_root);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_HEALTH_COUNTERS_H_
