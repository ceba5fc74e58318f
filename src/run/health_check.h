// The hardware's own error reports in the verdict. A corrected memory error, a machine
// check, a PCIe link error, a failing disk sector or a throttled processor never reaches the
// tests' own compares; the kernel counts it. The health check reads those counts before the
// first pass, after every test (tests run one at a time, so a change belongs to the test that
// just ran) and at the end, and turns every change into an event: one line in the program's
// error style, failing the run where the rule says so. Temperatures and processor frequencies
// are sampled once a second by one thread of its own.
//
// Sources (each absent one is named as unavailable, never as passed):
//   memory_ecc     EDAC ce/ue counters per module: an uncorrected error fails; corrected
//                  errors fail once the run's total is over MaxCorrectedMemoryErrors
//   machine_check  MCE and DFR rows of /proc/interrupts fail; THR (corrected) warns
//   kernel_log     hardware-error lines of /dev/kmsg since the start fail; corrected ones warn
//   pcie_aer       fatal and non-fatal AER counts fail; correctable ones warn
//   smart          smartctl before and after the run on the disk test's disks: health failing
//                  or a rise of a bad-sector or media-error count fails
//   thermal        throttle counts and temperatures at their critical mark warn (fail with
//                  ThrottlingIsError)
// A counter that went down (a reset, a driver reload) is reported once as a reset and read
// from its new value on.
//
// A HealthCheck belongs to the driver's thread; only its sampler runs beside it.
#ifndef FORGEVAL_RUN_HEALTH_CHECK_H_
#define FORGEVAL_RUN_HEALTH_CHECK_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/health_counters.h"
#include "platform/kernel_log.h"
#include "report/run_record.h"

namespace forgeval {

// The [Health] section.
struct HealthSettings {
  bool enabled = true;
  int64_t max_corrected_memory_errors = 0;
  bool throttling_is_error = false;
};
HealthSettings ReadHealthSettings();

// Where the readers look: "/sys", "/proc", "/dev/kmsg" and smartctl, unless the environment
// names others.
struct HealthRoots {
  std::string sys;
  std::string proc;
  std::string kmsg;
  std::optional<std::string> smartctl;  // none: not installed
};
HealthRoots RealHealthRoots();

struct HealthEvent {
  std::string
      source;        // "memory_ecc", "machine_check", "kernel_log", "pcie_aer", "smart", "thermal"
  std::string text;  // the whole console line, without its line feed
  bool fails = false;
};

// What one reading found changed.
struct HealthChange {
  std::vector<HealthEvent> events;
  RecordJson deltas = RecordJson::object();  // by source, then by counter: the rise
  std::vector<std::string> kernel_lines;     // the hardware lines quoted from the kernel log
};

class HealthCheck {
 public:
  // `drive_folders`: the disk test's folders, whose disks SMART reads.
  HealthCheck(const HealthSettings& settings, HealthRoots roots,
              std::vector<std::string> drive_folders);
  ~HealthCheck();
  HealthCheck(const HealthCheck&) = delete;
  HealthCheck& operator=(const HealthCheck&) = delete;

  // Finds the sources and reads the baselines (SMART's "before"); starts the sampler when
  // `sample` and there is something to sample.
  void Start(bool sample);
  // "Hardware error sources: memory ECC (2 controllers, 8 modules), ...; unavailable: ...";
  // on a system without the sources (Windows) "Hardware error sources: not read on Windows
  // (memory ECC, ... and processor frequencies are read on Linux only)".
  std::string StartLine() const;
  // {"found": [...], "unavailable": [...]}, the texts of the start line; on a system without
  // the sources also "not_read_on": "Windows".
  RecordJson Sources() const;
  // Reads every source; `during` ends each event's text ("during the Memory test, pass 2").
  HealthChange Check(const std::string& during);
  // The last Check ("at the end of the run"), SMART's "after", and the sampler stopped.
  HealthChange Finish();
  // The run_end summary.
  RecordJson Summary() const;
  // One sample of temperatures and frequencies (the sampler's work; the tests call it).
  void Sample();

 private:
  struct CounterSource {
    explicit CounterSource(const char* source_name) : name(source_name) {}
    const char* name;  // the record's source name
    bool available = false;
    std::map<std::string, int64_t> last;  // by counter key
  };
  struct SensorState {
    double highest = 0;
    std::optional<double> critical;
    bool over = false;              // at or over its critical mark at the last sample
    bool critical_reached = false;  // went over it since the last Check
  };

  std::vector<platform::HealthCounter> ReadCounters(const CounterSource& source) const;
  void CheckCounters(CounterSource& source, const std::string& during, HealthChange& change);
  HealthEvent CounterEvent(const platform::HealthCounter& counter, int64_t rise);
  void CheckKernelLog(const std::string& during, HealthChange& change);
  void CheckSensors(const std::string& during, HealthChange& change);
  void CheckSmart(HealthChange& change);
  void Add(HealthChange& change, HealthEvent event);
  void StopSampler();

  const HealthSettings settings_;
  const HealthRoots roots_;
  const std::vector<std::string> drive_folders_;
  CounterSource ecc_{"memory_ecc"};
  CounterSource machine_check_{"machine_check"};
  CounterSource aer_{"pcie_aer"};
  CounterSource throttle_{"thermal"};
  int ecc_controllers_ = 0, ecc_modules_ = 0, aer_devices_ = 0;
  bool readable_ = true;  // the system keeps the sources where the readers look
  platform::KernelLog kernel_log_;
  std::string smart_unavailable_;  // why SMART is off; empty when some disk reads
  std::map<std::string, RecordJson> smart_before_, smart_after_;  // by device
  bool temperatures_ = false, frequencies_ = false;

  int64_t events_ = 0, failing_events_ = 0, corrected_memory_ = 0, uncorrected_memory_ = 0,
          throttles_ = 0;

  mutable std::mutex sensor_mutex_;  // guards the sensor figures, which the sampler writes
  std::map<std::string, SensorState> sensors_;
  std::optional<int64_t> lowest_khz_, highest_khz_;

  std::mutex stop_mutex_;
  std::condition_variable stop_wakeup_;
  bool stop_ = false;
  std::thread sampler_;
};

// The figures of one `smartctl -j -a` output: "passed" and the counts whose rise means a
// failing disk; none when the output names no readable device (exit bits 1 and 2, or no JSON).
std::optional<RecordJson> SmartFigures(int exit_status, const std::string& output);

// The driver's three calls, on the one process-wide check. Each event is written to the
// console, the log and the system log; a failing event raises the failure flag; a test with
// events gets a health record.
// At start-up, after the log is open: prints the start line; returns run_start's
// health_sources (null when [Health] Enabled is false).
RecordJson HealthStartUp();
void HealthAfterTest(const char* section, int pass);
// At the end, before the verdict: returns run_end's health summary (null when off).
RecordJson HealthEnd();

}  // namespace forgeval

#endif  // FORGEVAL_RUN_HEALTH_CHECK_H_
