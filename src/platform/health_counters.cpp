// Everything here is a small text file of sysfs or procfs read whole. Folders are listed in
// the order of their numbers (mc2 before mc10), so the events of one check come out in a
// fixed order.
#include "platform/health_counters.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/files.h"

namespace forgeval::platform {
namespace {

namespace fs = std::filesystem;

std::string RootFrom(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string Trimmed(std::string text) {
  const size_t end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(" \t")));
}

std::optional<int64_t> ParseNumber(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<int64_t> ReadNumber(const std::string& path) {
  const std::optional<std::string> text = ReadWholeFile(path);
  return text ? ParseNumber(Trimmed(*text)) : std::nullopt;
}

std::string ReadTrimmed(const std::string& path) {
  return Trimmed(ReadWholeFile(path).value_or(""));
}

// The names in `folder` that are `prefix` and a number, in the order of their numbers.
std::vector<std::string> Numbered(const std::string& folder, std::string_view prefix) {
  std::vector<std::pair<int64_t, std::string>> found;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    if (const std::optional<int64_t> number =
            ParseNumber(std::string_view(name).substr(prefix.size())))
      found.emplace_back(*number, name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& [number, name] : found) names.push_back(std::move(name));
  return names;
}

void AddCounter(std::vector<HealthCounter>& counters, CounterKind kind, const std::string& path,
                std::string key, std::string place) {
  if (const std::optional<int64_t> value = ReadNumber(path))
    counters.push_back({kind, std::move(key), std::move(place), *value});
}

std::string PlaceOf(const std::string& controller, const std::string& label,
                    const std::string& fallback) {
  return controller + " (" + (label.empty() ? fallback : label) + ")";
}

// The legacy layout: csrowN/chM_ce_count per channel with chM_dimm_label; ue_count per row.
int AddCsrows(MemoryEccCounters& ecc, const std::string& mc, const std::string& name) {
  int channels = 0;
  for (const std::string& row : Numbered(mc, "csrow")) {
    const std::string folder = mc + "/" + row;
    for (int ch = 0;; ++ch) {
      const std::string channel = "ch" + std::to_string(ch);
      if (!fs::exists(folder + "/" + channel + "_ce_count")) break;
      ++channels;
      const std::string label = ReadTrimmed(folder + "/" + channel + "_dimm_label");
      AddCounter(ecc.counters, CounterKind::kCorrectedMemory, folder + "/" + channel + "_ce_count",
                 name + "/" + row + "/" + channel + "_ce_count",
                 PlaceOf(name, label, row + " " + channel));
    }
    AddCounter(ecc.counters, CounterKind::kUncorrectedMemory, folder + "/ue_count",
               name + "/" + row + "/ue_count", PlaceOf(name, "", row));
  }
  return channels;
}

// Sums the numbers after a row's label, up to the first word (the row's description).
int64_t SumColumns(std::istringstream& row) {
  int64_t sum = 0;
  for (std::string word; row >> word;) {
    const std::optional<int64_t> value = ParseNumber(word);
    if (!value) break;
    sum += *value;
  }
  return sum;
}

}  // namespace

std::string SysRoot() { return RootFrom(kSysRootVariable, "/sys"); }
std::string ProcRoot() { return RootFrom(kProcRootVariable, "/proc"); }

std::optional<MemoryEccCounters> ReadMemoryEcc(const std::string& sys_root) {
  const std::string edac = sys_root + "/devices/system/edac/mc";
  MemoryEccCounters ecc;
  for (const std::string& name : Numbered(edac, "mc")) {
    const std::string mc = edac + "/" + name;
    if (!fs::exists(mc + "/ce_count")) continue;  // not a controller
    ++ecc.controllers;
    int modules = 0;
    for (const char* prefix : {"dimm", "rank"}) {
      for (const std::string& module : Numbered(mc, prefix)) {
        const std::string folder = mc + "/" + module;
        const std::string label = ReadTrimmed(folder + "/dimm_label");
        ++modules;
        AddCounter(ecc.counters, CounterKind::kCorrectedMemory, folder + "/dimm_ce_count",
                   name + "/" + module + "/dimm_ce_count", PlaceOf(name, label, module));
        AddCounter(ecc.counters, CounterKind::kUncorrectedMemory, folder + "/dimm_ue_count",
                   name + "/" + module + "/dimm_ue_count", PlaceOf(name, label, module));
      }
    }
    if (modules == 0) modules = AddCsrows(ecc, mc, name);
    ecc.modules += modules;
    if (modules > 0) {
      // Errors the driver could not pin to a module.
      AddCounter(ecc.counters, CounterKind::kCorrectedMemory, mc + "/ce_noinfo_count",
                 name + "/ce_noinfo_count", name + " (no module named)");
      AddCounter(ecc.counters, CounterKind::kUncorrectedMemory, mc + "/ue_noinfo_count",
                 name + "/ue_noinfo_count", name + " (no module named)");
    } else {
      AddCounter(ecc.counters, CounterKind::kCorrectedMemory, mc + "/ce_count", name + "/ce_count",
                 name);
      AddCounter(ecc.counters, CounterKind::kUncorrectedMemory, mc + "/ue_count",
                 name + "/ue_count", name);
    }
  }
  if (ecc.controllers == 0) return std::nullopt;
  return ecc;
}

std::optional<std::vector<HealthCounter>> ReadMachineCheckCounters(const std::string& proc_root) {
  const std::optional<std::string> text = ReadWholeFile(proc_root + "/interrupts");
  if (!text) return std::nullopt;
  std::vector<HealthCounter> counters;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream row(line);
    std::string label;
    row >> label;
    const CounterKind kind = label == "MCE:"   ? CounterKind::kMachineCheck
                             : label == "THR:" ? CounterKind::kThresholdInterrupt
                             : label == "DFR:" ? CounterKind::kDeferredError
                                               : CounterKind::kThrottle;
    if (kind == CounterKind::kThrottle) continue;
    label.pop_back();
    counters.push_back({kind, label, label, SumColumns(row)});
  }
  if (counters.empty()) return std::nullopt;
  return counters;
}

std::vector<HealthCounter> ReadPcieAerCounters(const std::string& sys_root) {
  const std::string devices = sys_root + "/bus/pci/devices";
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(devices, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  static constexpr struct {
    const char* file;
    const char* total;
    CounterKind kind;
  } kFiles[] = {{"aer_dev_correctable", "TOTAL_ERR_COR", CounterKind::kAerCorrectable},
                {"aer_dev_nonfatal", "TOTAL_ERR_NONFATAL", CounterKind::kAerNonFatal},
                {"aer_dev_fatal", "TOTAL_ERR_FATAL", CounterKind::kAerFatal}};
  std::vector<HealthCounter> counters;
  for (const std::string& device : names) {
    for (const auto& file : kFiles) {
      const std::optional<std::string> text =
          ReadWholeFile(devices + "/" + device + "/" + file.file);
      if (!text) continue;
      // Lines are "<name> <count>"; names may hold blanks, so the count is the last word.
      std::optional<int64_t> total;
      int64_t sum = 0;
      std::istringstream lines(*text);
      for (std::string line; std::getline(lines, line);) {
        line = Trimmed(line);
        const size_t blank = line.find_last_of(" \t");
        if (blank == std::string::npos) continue;
        const std::optional<int64_t> value = ParseNumber(line.substr(blank + 1));
        if (!value) continue;
        if (Trimmed(line.substr(0, blank)) == file.total)
          total = value;
        else
          sum += *value;
      }
      counters.push_back({file.kind, device + "/" + file.file, device, total.value_or(sum)});
    }
  }
  return counters;
}

std::vector<HealthCounter> ReadThrottleCounters(const std::string& sys_root) {
  const std::string cpus = sys_root + "/devices/system/cpu";
  std::vector<HealthCounter> counters;
  for (const std::string& cpu : Numbered(cpus, "cpu")) {
    const std::string folder = cpus + "/" + cpu + "/thermal_throttle";
    std::vector<std::string> files;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with("_throttle_count")) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
      const std::string what = file.substr(0, file.find('_'));  // "core" or "package"
      AddCounter(counters, CounterKind::kThrottle, folder + "/" + file, cpu + "/" + file,
                 cpu + " " + what);
    }
  }
  return counters;
}

std::vector<TemperatureReading> ReadTemperatures(const std::string& sys_root) {
  const std::string hwmon = sys_root + "/class/hwmon";
  std::vector<TemperatureReading> readings;
  for (const std::string& monitor : Numbered(hwmon, "hwmon")) {
    const std::string folder = hwmon + "/" + monitor;
    const std::string name = ReadTrimmed(folder + "/name");
    for (int index = 1; index < 64; ++index) {
      const std::string input = folder + "/temp" + std::to_string(index);
      const std::optional<int64_t> millis = ReadNumber(input + "_input");
      if (!millis) continue;
      std::string label = ReadTrimmed(input + "_label");
      if (label.empty()) label = "temp" + std::to_string(index);
      TemperatureReading reading{(name.empty() ? monitor : name) + " " + label,
                                 static_cast<double>(*millis) / 1000, std::nullopt};
      if (const std::optional<int64_t> critical = ReadNumber(input + "_crit"))
        reading.critical = static_cast<double>(*critical) / 1000;
      readings.push_back(std::move(reading));
    }
  }
  return readings;
}

std::vector<int64_t> ReadProcessorFrequencies(const std::string& sys_root) {
  const std::string cpus = sys_root + "/devices/system/cpu";
  std::vector<int64_t> frequencies;
  for (const std::string& cpu : Numbered(cpus, "cpu"))
    if (const std::optional<int64_t> khz =
            ReadNumber(cpus + "/" + cpu + "/cpufreq/scaling_cur_freq"))
      frequencies.push_back(*khz);
  return frequencies;
}

}  // namespace forgeval::platform
