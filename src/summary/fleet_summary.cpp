#include "summary/fleet_summary.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "platform/process.h"

namespace forgeval {
namespace {

using Json = nlohmann::json;

// Rates and times within this share of their kind's median are normal.
constexpr double kLowestNormalRatio = 0.7;
constexpr double kHighestNormalRatio = 1.3;

std::string TextOf(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  return it->is_string() ? it->get<std::string>() : it->dump();
}

std::optional<double> NumberOf(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

bool IsTrue(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

std::string Number(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3g", value);
  return text;
}

std::string Ratio(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// Seconds since 1970 of "YYYY-MM-DDThh:mm:ssZ"; none for any other text.
std::optional<double> UtcSeconds(const std::string& time) {
  int year, month, day, hour, minute, second;
  if (sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ", &year, &month, &day, &hour, &minute,
             &second) != 6) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  const auto days = static_cast<double>(std::chrono::sys_days(date).time_since_epoch().count());
  return days * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string LastComponent(const std::string& path) {
  const std::string native = platform::NativePath(path);
  const size_t slash = native.rfind(platform::PathSeparator());
  return slash == std::string::npos ? native : native.substr(slash + 1);
}

std::string FolderOf(const std::string& file) {
  const std::string native = platform::NativePath(file);
  const size_t slash = native.rfind(platform::PathSeparator());
  return slash == std::string::npos ? std::string(".") : LastComponent(native.substr(0, slash));
}

// The machine name of every run (see the header on shared host names).
std::vector<std::string> MachineNames(const std::vector<RecordedRun>& runs) {
  auto name_of = [](const RecordedRun& run) {
    return run.host.empty() ? std::string("(unknown host)") : run.host;
  };
  std::map<std::string, std::set<std::string>> files_of_name;
  for (const RecordedRun& run : runs) files_of_name[name_of(run)].insert(run.file);
  std::map<std::string, std::set<std::string>> files_of_label;
  std::vector<std::string> names;
  for (const RecordedRun& run : runs) {
    const std::string name = name_of(run);
    names.push_back(files_of_name[name].size() > 1 ? name + " (" + FolderOf(run.file) + ")" : name);
    files_of_label[names.back()].insert(run.file);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    if (files_of_label[names[i]].size() > 1)
      names[i] = name_of(runs[i]) + " (" + runs[i].file + ")";
  }
  return names;
}

std::string VerdictOf(const RecordedRun& run) {
  if (!run.has_end) return "incomplete";
  const Json& end = run.end;
  const std::optional<double> exit_code = NumberOf(end, "exit_code");
  const std::string ended_by = TextOf(end, "ended_by");
  if (ended_by == "fault" || exit_code == 255.0) return "fault";
  if (ended_by == "interrupt" || IsTrue(end, "interrupted")) return "interrupted";
  const bool worker_failed = std::any_of(run.workers.begin(), run.workers.end(),
                                         [](const auto& w) { return w.status == "failed"; });
  const bool hardware_failed = std::any_of(run.health_events.begin(), run.health_events.end(),
                                           [](const auto& e) { return e.fails; });
  if (exit_code != 0.0 || worker_failed || hardware_failed) return "failed";
  // A run that tested nothing (no pass, every test off) must not read as passed.
  const auto tested = end.find("tested");
  if (tested != end.end() && tested->is_boolean() ? !tested->get<bool>() : run.workers.empty()) {
    return "not tested";
  }
  return "passed";
}

// The facts of a run the fleet compares.
struct RunFacts {
  std::string fft_key;                  // version and code path; empty: no FFT sums
  std::map<std::string, int> fft_bits;  // sum bits -> workers that gave them
  std::string matrix_key;               // version and order; empty: no matrix result
  std::map<std::string, int> matrix_values;
  std::map<std::string, std::pair<std::string, double>> metrics;  // metric -> (kind, value)
};

struct Metric {
  const char* name;
  const char* test;
  const char* figure;       // nullptr: the worker's seconds
  const char* kind_figure;  // a figure the values depend on, part of the kind; or nullptr
  bool charted;
};
constexpr Metric kMetrics[] = {
    {"Memory gb_per_s", "Memory", "gb_per_s", "fill", true},
    {"Cache gb_per_s", "Cache", "gb_per_s", "l1_buffer_bytes", false},
    {"Disk write_mb_per_s", "Disk", "write_mb_per_s", nullptr, true},
    {"Disk read_mb_per_s", "Disk", "read_mb_per_s", nullptr, true},
    {"SortAlgorithms seconds", "SortAlgorithms", nullptr, "elements", false},
    {"FFT seconds", "FFT", nullptr, "last_length", false},
};

std::string MostCommon(const std::map<std::string, int>& counts) {
  return std::max_element(counts.begin(), counts.end(),
                          [](const auto& a, const auto& b) { return a.second < b.second; })
      ->first;
}

RunFacts FactsOf(const RecordedRun& run) {
  RunFacts facts;
  for (const RecordedWorker& worker : run.workers) {
    if (worker.status != "passed") continue;  // a failed worker is reported as such
    const Json& f = worker.figures;
    if (worker.test == "FFT" && f.contains("sum_0_bits")) {
      facts.fft_key = "version " + run.version + ", kernel " + TextOf(f, "transform_kernel") +
                      ", math library " + TextOf(f, "math_library") + ", lengths to " +
                      TextOf(f, "last_length");
      for (const char* sum : {"sum_0_bits", "sum_1_bits"}) {
        if (f.contains(sum)) ++facts.fft_bits[TextOf(f, sum)];
      }
    }
    if (worker.test == "Matrix" && f.contains("element_0_0")) {
      facts.matrix_key = "version " + run.version + ", order " + TextOf(f, "order");
      ++facts.matrix_values[TextOf(f, "element_0_0")];
    }
  }
  if (run.processor_model.empty()) return facts;  // machines of unknown kind are not compared
  for (const Metric& metric : kMetrics) {
    std::vector<double> values;
    std::set<int> workers;
    std::string size;
    for (const RecordedWorker& worker : run.workers) {
      if (worker.test != metric.test) continue;
      workers.insert(worker.worker);
      if (metric.kind_figure != nullptr) size = TextOf(worker.figures, metric.kind_figure);
      const std::optional<double> value = metric.figure == nullptr
                                              ? std::optional<double>(worker.seconds)
                                              : NumberOf(worker.figures, metric.figure);
      if (worker.status == "passed" && value && *value > 0) values.push_back(*value);
    }
    if (values.empty()) continue;
    facts.metrics[metric.name] = {
        run.processor_model + "\n" + std::to_string(workers.size()) + " workers\n" + size,
        Median(values)};
  }
  return facts;
}

void AddWorkerFindings(const RecordedRun& run, HostRow& row) {
  struct Seen {
    const RecordedWorker* first;
    int count;
  };
  std::vector<std::pair<std::string, Seen>> failures;  // test + error, in order
  for (const RecordedWorker& worker : run.workers) {
    if (std::find(row.tests.begin(), row.tests.end(), worker.test) == row.tests.end()) {
      row.tests.push_back(worker.test);
    }
    row.passes = std::max(row.passes, worker.pass);
    if (worker.status != "failed") continue;
    const std::string key = worker.test + '\n' + worker.error;
    auto it = std::find_if(failures.begin(), failures.end(),
                           [&](const auto& f) { return f.first == key; });
    if (it == failures.end()) {
      failures.push_back({key, {&worker, 1}});
    } else {
      ++it->second.count;
    }
  }
  for (const auto& [key, seen] : failures) {
    const RecordedWorker& w = *seen.first;
    std::string text = w.test + " pass " + std::to_string(w.pass) + " worker " +
                       std::to_string(w.worker) + ": " +
                       (w.error.empty() ? std::string("failed without an error text") : w.error);
    if (seen.count > 1) text += " (and " + std::to_string(seen.count - 1) + " more)";
    row.findings.push_back({"failed", w.test, text, true});
  }
}

void AddHardwareFindings(const RecordedRun& run, HostRow& row) {
  for (const RecordedHealthEvent& event : run.health_events) {
    std::string text = event.source.empty() ? event.text : event.source + ": " + event.text;
    if (!event.test.empty()) {
      text += " (" + event.test + " test, pass " + std::to_string(event.pass) + ")";
    }
    row.findings.push_back({"hardware", event.test, text, event.fails});
  }
  const auto health = run.end.find("health");
  if (health == run.end.end() || !health->is_object()) return;
  std::string totals;
  for (const char* count :
       {"corrected_memory_errors", "uncorrected_memory_errors", "throttle_count"}) {
    const std::optional<double> value = NumberOf(*health, count);
    if (value && *value > 0) {
      totals += (totals.empty() ? "" : ", ") + std::string(count) + " " +
                std::to_string(std::llround(*value));
    }
  }
  if (!totals.empty()) row.findings.push_back({"hardware", "", "totals: " + totals, false});
  const auto temperatures = health->find("highest_temperature_c");
  if (temperatures == health->end() || !temperatures->is_object()) return;
  for (const auto& [sensor, value] : temperatures->items()) {
    if (!value.is_number()) continue;
    if (!row.highest_temperature_c || value.get<double>() > *row.highest_temperature_c) {
      row.highest_temperature_c = value.get<double>();
      row.hottest_sensor = sensor;
    }
  }
}

HostRow RowOf(const RecordedRun& run, const std::string& name) {
  HostRow row;
  row.host = name;
  row.run = run.run;
  row.file = run.file;
  row.version = run.version;
  row.processor_model = run.processor_model;
  row.started = run.started;
  row.verdict = VerdictOf(run);
  if (const std::optional<double> code = NumberOf(run.end, "exit_code")) {
    row.exit_code = static_cast<int>(*code);
  }
  if (const std::optional<double> seconds = NumberOf(run.end, "seconds")) {
    row.seconds = *seconds;
  } else if (auto first = UtcSeconds(run.started), last = UtcSeconds(run.last_time);
             first && last) {
    row.seconds = *last - *first;
  }
  AddWorkerFindings(run, row);
  AddHardwareFindings(run, row);
  const bool explained = std::any_of(row.findings.begin(), row.findings.end(),
                                     [](const Finding& f) { return f.fails; });
  if (row.verdict == "incomplete") {
    row.findings.push_back({"incomplete", "",
                            "no run_end: started " + run.started + ", last record " +
                                run.last_time + " (pass " + std::to_string(row.passes) +
                                "); the machine may have hung or reset",
                            true});
  } else if (row.verdict != "passed" && !explained) {
    std::string text = row.verdict == "not tested"    ? "nothing was tested"
                       : row.verdict == "interrupted" ? "the run was interrupted"
                       : row.verdict == "fault"       ? "the run ended with a fault"
                                                      : "the run failed";
    if (row.exit_code) text += " (exit code " + std::to_string(*row.exit_code) + ")";
    const std::string verdict_line = TextOf(run.end, "verdict");
    if (!verdict_line.empty()) text += ": " + verdict_line;
    row.findings.push_back({"verdict", "", text, true});
  }
  return row;
}

// Flags the rows whose value differs from the majority of their group, over the primary rows.
// `value_of` gives a row's (group, value), empty group when the row has none.
template <typename ValueOf>
void CheckAgreement(std::vector<HostRow>& rows, const std::vector<bool>& primary, const char* what,
                    ValueOf value_of) {
  std::map<std::string, std::map<std::string, int>> hosts_of_value;  // group -> value -> hosts
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto [group, value] = value_of(i);
    if (primary[i] && !group.empty()) ++hosts_of_value[group][value];
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto [group, value] = value_of(i);
    if (group.empty()) continue;
    const std::map<std::string, int>& counts = hosts_of_value[group];
    int hosts = 0;
    for (const auto& entry : counts) hosts += entry.second;
    if (counts.size() < 2 && (counts.empty() || counts.begin()->first == value)) continue;
    std::vector<std::pair<int, std::string>> ranked;
    for (const auto& [v, n] : counts) ranked.push_back({n, v});
    std::sort(ranked.rbegin(), ranked.rend());
    const bool majority = ranked.size() == 1 || ranked[0].first > ranked[1].first;
    if (majority && ranked[0].second == value) continue;
    std::string text = std::string(what) + " " + value;
    if (majority) {
      text += " differs from " + ranked[0].second + " of " + std::to_string(ranked[0].first) +
              " of " + std::to_string(hosts) + " hosts";
    } else {
      text += " is split with no majority among " + std::to_string(hosts) + " hosts (";
      for (size_t k = 0; k < ranked.size(); ++k) {
        text += (k ? ", " : "") + ranked[k].second + " x" + std::to_string(ranked[k].first);
      }
      text += ")";
    }
    rows[i].findings.push_back({"disagreement", "", text + " [" + group + "]", false});
  }
}

void CheckOutliers(std::vector<HostRow>& rows, const std::vector<bool>& primary,
                   const std::vector<RunFacts>& facts) {
  for (const Metric& metric : kMetrics) {
    std::map<std::string, std::vector<double>> values_of_kind;
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto it = facts[i].metrics.find(metric.name);
      if (primary[i] && it != facts[i].metrics.end()) {
        values_of_kind[it->second.first].push_back(it->second.second);
      }
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto it = facts[i].metrics.find(metric.name);
      if (it == facts[i].metrics.end()) continue;
      const auto& [kind, value] = it->second;
      const std::vector<double>& peers = values_of_kind[kind];
      if (peers.empty()) continue;
      const double median = Median(peers);
      if (metric.charted) rows[i].rates.push_back({metric.name, value, median, peers.size()});
      if (peers.size() < 2 || median <= 0) continue;
      const double ratio = value / median;
      if (ratio >= kLowestNormalRatio && ratio <= kHighestNormalRatio) continue;
      rows[i].findings.push_back({"outlier", metric.test,
                                  std::string(metric.name) + " " + Number(value) + " is " +
                                      Ratio(ratio) + " of the median " + Number(median) + " of " +
                                      std::to_string(peers.size()) + " hosts (" +
                                      rows[i].processor_model + ")",
                                  false});
    }
  }
}

// A machine whose own runs (or workers) gave different results along the same code path: over
// every run read, shown or not.
struct RunOfMachine {
  const std::string* machine;
  const std::string* run;
  const RunFacts* facts;
};

void CheckOwnRuns(std::vector<HostRow>& rows, const std::vector<bool>& primary,
                  const std::vector<RunOfMachine>& runs) {
  // (machine, what, group) -> value -> runs
  std::map<std::tuple<std::string, std::string, std::string>,
           std::map<std::string, std::set<std::string>>>
      seen;
  for (const RunOfMachine& r : runs) {
    for (const auto& entry : r.facts->fft_bits) {
      seen[{*r.machine, "FFT sums", r.facts->fft_key}][entry.first].insert(*r.run);
    }
    for (const auto& entry : r.facts->matrix_values) {
      seen[{*r.machine, "matrix element_0_0 results", r.facts->matrix_key}][entry.first].insert(
          *r.run);
    }
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!primary[i]) continue;
    for (const auto& [key, values] : seen) {
      if (values.size() < 2 || std::get<0>(key) != rows[i].host) continue;
      std::string text = "its own " + std::get<1>(key) + " differ:";
      for (const auto& [value, in_runs] : values) {
        text += " " + value + " (run";
        for (const std::string& run : in_runs) text += " " + run;
        text += ")";
      }
      rows[i].findings.push_back({"disagreement", "", text + " [" + std::get<2>(key) + "]", false});
    }
  }
}

int Rank(HostState state) { return static_cast<int>(state); }

}  // namespace

const char* HostStateName(HostState state) {
  switch (state) {
    case HostState::kFailed:
      return "failed";
    case HostState::kIncomplete:
      return "incomplete";
    case HostState::kFlagged:
      return "flagged";
    case HostState::kPassed:
      return "passed";
  }
  return "failed";
}

int FleetSummary::ExitCode() const {
  const bool all_passed = std::all_of(
      rows.begin(), rows.end(), [](const HostRow& row) { return row.state == HostState::kPassed; });
  return all_passed && !rows.empty() && bad_lines.empty() && file_errors.empty() ? 0 : 1;
}

FleetSummary SummarizeFleet(const RecordInput& input, bool all_runs) {
  FleetSummary summary;
  summary.bad_lines = input.bad_lines;
  summary.file_errors = input.file_errors;
  summary.files_read = input.files_read;
  summary.runs_read = input.runs.size();
  summary.all_runs = all_runs;
  const std::vector<std::string> names = MachineNames(input.runs);
  std::map<std::string, size_t> latest;  // machine -> its latest run
  for (size_t i = 0; i < input.runs.size(); ++i) {
    auto [it, added] = latest.try_emplace(names[i], i);
    const RecordedRun& best = input.runs[it->second];
    // ISO 8601 UTC times order as texts; the order read breaks ties.
    if (!added && input.runs[i].started >= best.started) it->second = i;
  }
  summary.hosts = latest.size();
  std::vector<RunFacts> facts_of_run;
  std::vector<RunOfMachine> every_run;
  for (const RecordedRun& run : input.runs) facts_of_run.push_back(FactsOf(run));
  std::vector<bool> primary;
  std::vector<RunFacts> facts;  // of each row
  for (size_t i = 0; i < input.runs.size(); ++i) {
    every_run.push_back({&names[i], &input.runs[i].run, &facts_of_run[i]});
    const bool is_latest = latest[names[i]] == i;
    if (!all_runs && !is_latest) continue;
    summary.rows.push_back(RowOf(input.runs[i], names[i]));
    primary.push_back(is_latest);
    facts.push_back(facts_of_run[i]);
  }
  std::vector<HostRow>& rows = summary.rows;
  CheckAgreement(rows, primary, "FFT sum bits", [&](size_t i) {
    const RunFacts& f = facts[i];
    return f.fft_bits.empty() ? std::pair<std::string, std::string>()
                              : std::pair(f.fft_key, MostCommon(f.fft_bits));
  });
  CheckAgreement(rows, primary, "matrix element_0_0", [&](size_t i) {
    const RunFacts& f = facts[i];
    return f.matrix_values.empty() ? std::pair<std::string, std::string>()
                                   : std::pair(f.matrix_key, MostCommon(f.matrix_values));
  });
  CheckOwnRuns(rows, primary, every_run);
  CheckOutliers(rows, primary, facts);
  for (HostRow& row : rows) {
    const bool fails = std::any_of(row.findings.begin(), row.findings.end(),
                                   [](const Finding& f) { return f.fails; });
    const bool flagged = std::any_of(row.findings.begin(), row.findings.end(), [](const auto& f) {
      return f.check == "disagreement" || f.check == "outlier";
    });
    row.state = row.verdict == "incomplete"        ? HostState::kIncomplete
                : fails || row.verdict != "passed" ? HostState::kFailed
                : flagged                          ? HostState::kFlagged
                                                   : HostState::kPassed;
  }
  std::stable_sort(rows.begin(), rows.end(), [](const HostRow& a, const HostRow& b) {
    return std::tuple(Rank(a.state), a.host, a.started) <
           std::tuple(Rank(b.state), b.host, b.started);
  });
  return summary;
}

}  // namespace forgeval
