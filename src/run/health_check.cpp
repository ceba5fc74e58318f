// Counters are compared with the value read last time, by key, so a module or device that
// appears later simply starts its own baseline. Every text is made here, next to the rule
// that decides whether it fails.
#include "run/health_check.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <regex>
#include <set>

#include "platform/smart_status.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "run/worker_dispatch.h"

namespace forgeval {
namespace {

using platform::CounterKind;
using platform::HealthCounter;

// Kernel lines beyond this many per reading are counted, not quoted: a failing disk can log
// thousands of I/O errors a second.
constexpr size_t kMaxQuotedKernelLines = 20;

std::string Count(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Join(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
  return joined;
}

// The one system whose hardware error reports the readers cannot find.
constexpr const char* kUnreadSystem = "Windows";

std::string Degrees(double celsius) {
  char text[32];
  snprintf(text, sizeof text, "%g", std::round(celsius * 10) / 10);
  return text;
}

// ATA attributes whose raw value counts bad or failing sectors.
constexpr struct {
  int id;
  const char* name;
} kSmartAttributes[] = {{5, "reallocated_sectors"},
                        {187, "reported_uncorrect"},
                        {188, "command_timeout"},
                        {197, "current_pending_sectors"},
                        {198, "offline_uncorrectable"}};

// How a kernel line counts: a hardware error, a corrected error, or not the hardware's.
enum class KernelLine { kOther, kCorrected, kError };
KernelLine Classify(const std::string& text) {
  static const std::regex kError(
      R"(\[Hardware Error\]|EDAC .*\bUE\b|PCIe Bus Error: severity=Uncorrected|I/O error, dev )");
  static const std::regex kCorrected(R"(EDAC .*\bCE\b|PCIe Bus Error: severity=Corrected)");
  if (std::regex_search(text, kError)) return KernelLine::kError;
  if (std::regex_search(text, kCorrected)) return KernelLine::kCorrected;
  return KernelLine::kOther;
}

}  // namespace

HealthSettings ReadHealthSettings() {
  return {.enabled = IniReadBool("Health", "Enabled", true),
          .max_corrected_memory_errors = IniReadInt("Health", "MaxCorrectedMemoryErrors", 0),
          .throttling_is_error = IniReadBool("Health", "ThrottlingIsError", false)};
}

HealthRoots RealHealthRoots() {
  return {platform::SysRoot(), platform::ProcRoot(), platform::KmsgPath(),
          platform::FindSmartctl()};
}

std::optional<RecordJson> SmartFigures(int exit_status, const std::string& output) {
  if ((exit_status & 3) != 0) return std::nullopt;  // no such device, or no SMART on it
  const RecordJson json = RecordJson::parse(output, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  RecordJson figures = RecordJson::object();
  // A field of another type than smartmontools writes (another version, a broken disk's
  // firmware) makes the whole output unreadable, never the run.
  try {
    if (json.contains("smart_status") && json["smart_status"].contains("passed"))
      figures["passed"] = json["smart_status"]["passed"].get<bool>();
    if (json.contains("ata_smart_attributes")) {
      for (const RecordJson& attribute :
           json["ata_smart_attributes"].value("table", RecordJson::array())) {
        for (const auto& known : kSmartAttributes)
          if (attribute.value("id", 0) == known.id && attribute.contains("raw"))
            figures[known.name] = attribute["raw"].value("value", int64_t{0});
      }
    }
    if (json.contains("nvme_smart_health_information_log")) {
      const RecordJson& log = json["nvme_smart_health_information_log"];
      for (const char* name : {"media_errors", "critical_warning"})
        if (log.contains(name)) figures[name] = log[name].get<int64_t>();
    }
  } catch (const RecordJson::exception&) {
    return std::nullopt;
  }
  return figures;
}

HealthCheck::HealthCheck(const HealthSettings& settings, HealthRoots roots,
                         std::vector<std::string> drive_folders)
    : settings_(settings), roots_(std::move(roots)), drive_folders_(std::move(drive_folders)) {}

HealthCheck::~HealthCheck() { StopSampler(); }

std::vector<HealthCounter> HealthCheck::ReadCounters(const CounterSource& source) const {
  if (&source == &ecc_) {
    const auto ecc = platform::ReadMemoryEcc(roots_.sys);
    return ecc ? ecc->counters : std::vector<HealthCounter>{};
  }
  if (&source == &machine_check_)
    return platform::ReadMachineCheckCounters(roots_.proc).value_or(std::vector<HealthCounter>{});
  if (&source == &aer_) return platform::ReadPcieAerCounters(roots_.sys);
  return platform::ReadThrottleCounters(roots_.sys);
}

void HealthCheck::Start(bool sample) {
  readable_ = platform::HealthSourcesReadable();
  if (!readable_) return;
  if (const auto ecc = platform::ReadMemoryEcc(roots_.sys)) {
    ecc_controllers_ = ecc->controllers;
    ecc_modules_ = ecc->modules;
  }
  ecc_.available = ecc_controllers_ > 0;
  machine_check_.available = platform::ReadMachineCheckCounters(roots_.proc).has_value();
  std::set<std::string> aer_devices;
  for (const HealthCounter& counter : platform::ReadPcieAerCounters(roots_.sys))
    aer_devices.insert(counter.place);
  aer_devices_ = static_cast<int>(aer_devices.size());
  aer_.available = aer_devices_ > 0;
  throttle_.available = !platform::ReadThrottleCounters(roots_.sys).empty();
  for (CounterSource* source : {&ecc_, &machine_check_, &aer_, &throttle_})
    for (const HealthCounter& counter : ReadCounters(*source))
      source->last[counter.key] = counter.value;
  kernel_log_.Open(roots_.kmsg);

  std::set<std::string> disks;
  for (const std::string& folder : drive_folders_)
    if (const auto disk = platform::DiskOfFolder(folder, roots_.sys)) disks.insert(*disk);
  if (!roots_.smartctl)
    smart_unavailable_ = "no smartctl";
  else if (drive_folders_.empty())
    smart_unavailable_ = "no disk test drives";
  for (const std::string& disk : roots_.smartctl ? disks : std::set<std::string>{}) {
    const auto result = platform::RunSmartctl(*roots_.smartctl, disk);
    if (const auto figures =
            result ? SmartFigures(result->exit_status, result->output) : std::nullopt)
      smart_before_[disk] = *figures;
  }
  if (smart_unavailable_.empty() && smart_before_.empty()) smart_unavailable_ = "no SMART device";

  temperatures_ = !platform::ReadTemperatures(roots_.sys).empty();
  frequencies_ = !platform::ReadProcessorFrequencies(roots_.sys).empty();
  Sample();
  if (sample && (temperatures_ || frequencies_)) {
    sampler_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(stop_mutex_);
      while (!stop_wakeup_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
        lock.unlock();
        Sample();
        lock.lock();
      }
    });
  }
}

void HealthCheck::StopSampler() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stop_ = true;
  }
  stop_wakeup_.notify_all();
  if (sampler_.joinable()) sampler_.join();
}

void HealthCheck::Sample() {
  const auto temperatures = temperatures_ ? platform::ReadTemperatures(roots_.sys)
                                          : std::vector<platform::TemperatureReading>{};
  const auto frequencies =
      frequencies_ ? platform::ReadProcessorFrequencies(roots_.sys) : std::vector<int64_t>{};
  std::lock_guard<std::mutex> lock(sensor_mutex_);
  for (const platform::TemperatureReading& reading : temperatures) {
    auto [state, added] = sensors_.try_emplace(reading.sensor);
    if (added || reading.celsius > state->second.highest) state->second.highest = reading.celsius;
    state->second.critical = reading.critical;
    // Reported when it gets there, not again for every test while it stays there.
    const bool over = reading.critical && reading.celsius >= *reading.critical;
    if (over && !state->second.over) state->second.critical_reached = true;
    state->second.over = over;
  }
  for (const int64_t khz : frequencies) {
    lowest_khz_ = std::min(lowest_khz_.value_or(khz), khz);
    highest_khz_ = std::max(highest_khz_.value_or(khz), khz);
  }
}

RecordJson HealthCheck::Sources() const {
  std::vector<std::string> found, unavailable;
  auto add = [&](bool available, const std::string& text, const std::string& missing) {
    (available ? found : unavailable).push_back(available ? text : missing);
  };
  add(ecc_.available,
      "memory ECC (" + Count(ecc_controllers_, "controller", "controllers") + ", " +
          Count(ecc_modules_, "module", "modules") + ")",
      "memory ECC");
  add(machine_check_.available, "machine-check counters", "machine-check counters");
  add(kernel_log_.is_open(), "kernel log", "kernel log");
  add(aer_.available, "PCIe AER (" + Count(aer_devices_, "device", "devices") + ")", "PCIe AER");
  add(readable_ && smart_unavailable_.empty(),
      "SMART (" + Count(static_cast<int64_t>(smart_before_.size()), "disk", "disks") + ")",
      readable_ ? "SMART (" + smart_unavailable_ + ")" : "SMART");
  int64_t sensors = 0;
  {
    std::lock_guard<std::mutex> lock(sensor_mutex_);
    sensors = static_cast<int64_t>(sensors_.size());
  }
  add(temperatures_, "temperatures (" + Count(sensors, "sensor", "sensors") + ")", "temperatures");
  add(throttle_.available, "throttle counters", "throttle counters");
  add(frequencies_, "processor frequencies", "processor frequencies");
  RecordJson sources = {{"found", found}, {"unavailable", unavailable}};
  if (!readable_) sources["not_read_on"] = kUnreadSystem;
  return sources;
}

std::string HealthCheck::StartLine() const {
  const RecordJson sources = Sources();
  const auto found = sources["found"].get<std::vector<std::string>>();
  auto unavailable = sources["unavailable"].get<std::vector<std::string>>();
  if (!readable_) {
    const std::string last = unavailable.back();
    unavailable.pop_back();
    return "Hardware error sources: not read on " + std::string(kUnreadSystem) + " (" +
           Join(unavailable) + " and " + last + " are read on Linux only)";
  }
  std::string line = "Hardware error sources: " + (found.empty() ? "none" : Join(found));
  return unavailable.empty() ? line : line + "; unavailable: " + Join(unavailable);
}

void HealthCheck::Add(HealthChange& change, HealthEvent event) {
  ++events_;
  if (event.fails) ++failing_events_;
  change.events.push_back(std::move(event));
}

// The texts and rules of the counter sources.
HealthEvent HealthCheck::CounterEvent(const HealthCounter& counter, int64_t rise) {
  std::string what;
  const char* source = "";
  bool fails = true;
  switch (counter.kind) {
    case CounterKind::kCorrectedMemory:
      corrected_memory_ += rise;
      fails = corrected_memory_ > settings_.max_corrected_memory_errors;
      what =
          Count(rise, "corrected memory error", "corrected memory errors") + " on " + counter.place;
      source = "memory_ecc";
      break;
    case CounterKind::kUncorrectedMemory:
      uncorrected_memory_ += rise;
      what = Count(rise, "uncorrected memory error", "uncorrected memory errors") + " on " +
             counter.place;
      source = "memory_ecc";
      break;
    case CounterKind::kMachineCheck:
      what = Count(rise, "machine-check exception", "machine-check exceptions") + " (MCE)";
      source = "machine_check";
      break;
    case CounterKind::kDeferredError:
      what =
          Count(rise, "deferred machine-check error", "deferred machine-check errors") + " (DFR)";
      source = "machine_check";
      break;
    case CounterKind::kThresholdInterrupt:
      fails = false;
      what = Count(rise, "corrected-error interrupt", "corrected-error interrupts") + " (THR)";
      source = "machine_check";
      break;
    case CounterKind::kAerCorrectable:
    case CounterKind::kAerNonFatal:
    case CounterKind::kAerFatal:
      fails = counter.kind != CounterKind::kAerCorrectable;
      what = Count(rise,
                   counter.kind == CounterKind::kAerFatal      ? "fatal PCIe error"
                   : counter.kind == CounterKind::kAerNonFatal ? "non-fatal PCIe error"
                                                               : "correctable PCIe error",
                   counter.kind == CounterKind::kAerFatal      ? "fatal PCIe errors"
                   : counter.kind == CounterKind::kAerNonFatal ? "non-fatal PCIe errors"
                                                               : "correctable PCIe errors") +
             " on " + counter.place;
      source = "pcie_aer";
      break;
    case CounterKind::kThrottle:
      throttles_ += rise;
      fails = settings_.throttling_is_error;
      what = Count(rise, "thermal throttling event", "thermal throttling events") + " on " +
             counter.place;
      source = "thermal";
      break;
  }
  return {source, what, fails};
}

std::string EventLine(const std::string& what, const std::string& during, bool fails) {
  return std::string("[***HARDWARE ") + (fails ? "ERROR" : "WARNING") + ": " + what + " " + during +
         " ***]";
}

void HealthCheck::CheckCounters(CounterSource& source, const std::string& during,
                                HealthChange& change) {
  if (!source.available) return;
  for (const HealthCounter& counter : ReadCounters(source)) {
    const auto [last, added] = source.last.try_emplace(counter.key, counter.value);
    const int64_t before = last->second;
    last->second = counter.value;
    if (added || counter.value == before) continue;  // a new counter starts its own baseline
    if (counter.value < before) {
      Add(change,
          {source.name,
           EventLine("the counter " + counter.key + " went down from " + std::to_string(before) +
                         " to " + std::to_string(counter.value) + " (a reset or driver reload)",
                     during, false),
           false});
      continue;
    }
    const int64_t rise = counter.value - before;
    change.deltas[source.name][counter.key] = rise;
    HealthEvent event = CounterEvent(counter, rise);
    event.text = EventLine(event.text, during, event.fails);
    Add(change, std::move(event));
  }
}

void HealthCheck::CheckKernelLog(const std::string& during, HealthChange& change) {
  if (!kernel_log_.is_open()) return;
  const platform::KernelLogNews news = kernel_log_.ReadNew();
  if (news.overwritten || news.lost > 0) {
    const std::string lost = news.lost > 0
                                 ? Count(static_cast<int64_t>(news.lost), "kernel log record was",
                                         "kernel log records were")
                                 : std::string("kernel log records were");
    Add(change, {"kernel_log",
                 EventLine(lost + " overwritten before they could be read", during, false), false});
  }
  size_t unquoted = 0;
  bool unquoted_fail = false;
  for (const platform::KernelRecord& record : news.records) {
    const KernelLine kind = Classify(record.text);
    if (kind == KernelLine::kOther) continue;
    const bool fails = kind == KernelLine::kError;
    if (change.kernel_lines.size() == kMaxQuotedKernelLines) {
      ++unquoted;
      unquoted_fail = unquoted_fail || fails;
      continue;
    }
    change.kernel_lines.push_back(record.text);
    Add(change, {"kernel_log", EventLine("kernel: \"" + record.text + "\"", during, fails), fails});
  }
  if (unquoted > 0)
    Add(change, {"kernel_log",
                 EventLine(Count(static_cast<int64_t>(unquoted), "more kernel hardware line",
                                 "more kernel hardware lines"),
                           during, unquoted_fail),
                 unquoted_fail});
}

void HealthCheck::CheckSensors(const std::string& during, HealthChange& change) {
  std::lock_guard<std::mutex> lock(sensor_mutex_);
  for (auto& [sensor, state] : sensors_) {
    if (!state.critical_reached) continue;
    state.critical_reached = false;
    const bool fails = settings_.throttling_is_error;
    Add(change, {"thermal",
                 EventLine("temperature of " + sensor + " reached " + Degrees(state.highest) +
                               " °C, at or over its critical mark of " +
                               Degrees(state.critical.value_or(0)) + " °C",
                           during, fails),
                 fails});
  }
}

HealthChange HealthCheck::Check(const std::string& during) {
  HealthChange change;
  Sample();
  for (CounterSource* source : {&ecc_, &machine_check_, &aer_})
    CheckCounters(*source, during, change);
  CheckKernelLog(during, change);
  CheckCounters(throttle_, during, change);
  CheckSensors(during, change);
  return change;
}

void HealthCheck::CheckSmart(HealthChange& change) {
  for (const auto& [disk, before] : smart_before_) {
    const auto result = platform::RunSmartctl(*roots_.smartctl, disk);
    const auto after = result ? SmartFigures(result->exit_status, result->output) : std::nullopt;
    if (!after) {
      Add(change,
          {"smart", EventLine("SMART of " + disk + " could not be read", "after the run", false),
           false});
      continue;
    }
    smart_after_[disk] = *after;
    if (after->value("passed", true) == false) {
      Add(change,
          {"smart",
           EventLine("SMART of " + disk + " reports its health as failing", "after the run", true),
           true});
    }
    for (const auto& [name, value] : after->items()) {
      if (name == "passed" || !before.contains(name)) continue;
      const int64_t was = before[name].get<int64_t>(), now = value.get<int64_t>();
      if (now <= was) continue;
      change.deltas["smart"][disk][name] = now - was;
      Add(change, {"smart",
                   EventLine("SMART of " + disk + ": " + name + " rose from " +
                                 std::to_string(was) + " to " + std::to_string(now),
                             "over the run", true),
                   true});
    }
  }
}

HealthChange HealthCheck::Finish() {
  StopSampler();
  HealthChange change = Check("at the end of the run");
  CheckSmart(change);
  return change;
}

RecordJson HealthCheck::Summary() const {
  RecordJson summary = {{"events", events_}, {"failing_events", failing_events_}};
  summary["corrected_memory_errors"] =
      ecc_.available ? RecordJson(corrected_memory_) : RecordJson();
  summary["uncorrected_memory_errors"] =
      ecc_.available ? RecordJson(uncorrected_memory_) : RecordJson();
  std::lock_guard<std::mutex> lock(sensor_mutex_);
  RecordJson highest = RecordJson::object();
  for (const auto& [sensor, state] : sensors_) highest[sensor] = state.highest;
  summary["highest_temperature_c"] = temperatures_ ? highest : RecordJson();
  summary["throttle_count"] = throttle_.available ? RecordJson(throttles_) : RecordJson();
  summary["frequency_mhz"] =
      lowest_khz_ ? RecordJson{{"lowest", static_cast<double>(*lowest_khz_) / 1000},
                               {"highest", static_cast<double>(*highest_khz_) / 1000}}
                  : RecordJson();
  RecordJson smart = RecordJson::object();
  for (const auto& [disk, before] : smart_before_) {
    const auto after = smart_after_.find(disk);
    smart[disk] = {{"before", before},
                   {"after", after == smart_after_.end() ? RecordJson() : after->second}};
  }
  summary["smart"] = smart_before_.empty() ? RecordJson() : smart;
  return summary;
}

namespace {

std::unique_ptr<HealthCheck>& ProcessCheck() {
  static std::unique_ptr<HealthCheck> check;
  return check;
}

void Report(const HealthChange& change, const char* section, int pass) {
  for (const HealthEvent& event : change.events) {
    if (event.fails) RaiseFailureFlag();
    LogMessage("%s", event.text.c_str());
    ReportErrorEvent((event.text + "\n").c_str());
    ConsoleWrite(event.text + "\n");
  }
  if (change.events.empty()) return;
  RecordJson events = RecordJson::array();
  for (const HealthEvent& event : change.events)
    events.push_back({{"source", event.source}, {"text", event.text}, {"fails", event.fails}});
  RecordHealth({{"test", section ? RecordJson(section) : RecordJson()},
                {"pass", section ? RecordJson(pass) : RecordJson()},
                {"events", events},
                {"deltas", change.deltas},
                {"kernel_lines", change.kernel_lines}});
}

}  // namespace

RecordJson HealthStartUp() {
  const HealthSettings settings = ReadHealthSettings();
  if (!settings.enabled) {
    const char* line = "Hardware error sources: not read ([Health] Enabled is off)";
    LogMessage("%s", line);
    ConsolePrint("%s\n", line);
    return nullptr;
  }
  std::vector<std::string> folders;
  if (IniReadBool("Disk", "Enabled", true))
    for (const std::string& drive : IniReadList("Disk", "Drive"))
      folders.push_back(DriveRootPath(drive));
  ProcessCheck() = std::make_unique<HealthCheck>(settings, RealHealthRoots(), folders);
  ProcessCheck()->Start(/*sample=*/true);
  const std::string line = ProcessCheck()->StartLine();
  LogMessage("%s", line.c_str());
  ConsolePrint("%s\n", line.c_str());
  return ProcessCheck()->Sources();
}

void HealthAfterTest(const char* section, int pass) {
  if (!ProcessCheck()) return;
  Report(ProcessCheck()->Check("during the " + std::string(section) + " test, pass " +
                               std::to_string(pass)),
         section, pass);
}

RecordJson HealthEnd() {
  if (!ProcessCheck()) return nullptr;
  Report(ProcessCheck()->Finish(), nullptr, 0);
  RecordJson summary = ProcessCheck()->Summary();
  ProcessCheck().reset();
  return summary;
}

}  // namespace forgeval
