// The fleet summary: one row per machine (its latest run, or one row per run), with what the
// machine's own records say (verdict, duration, passes, failed tests, hardware events) and
// what only the fleet can see:
//   disagreement  machines of the same program version that ran the transform along the same
//                 code path (kernel, math library variant, lengths) must give bit-identical
//                 FFT sums, and all machines of a version the same matrix result; a machine
//                 that differs from its group's majority is flagged with both values (with no
//                 majority, every machine of the split is flagged). A machine whose own sums
//                 differ between its runs or its workers is flagged too;
//   outliers      memory and cache gb_per_s, disk write and read rates, sort and FFT seconds
//                 against the median of the machines with the same processor model (and the
//                 same worker count and sizes); outside 0.7 to 1.3 of it is flagged with the
//                 ratio. Machines of unknown model are not compared;
//   incomplete    a run with run_start but no run_end (the machine hung or reset): never
//                 passed.
// Medians and majorities are taken over the latest run of each machine; with every run
// shown, each run is held against them.
//
// Machines are named by their records' "host". Cloned machines may share a host name: when
// one name appears in records of several files, each file's machine is named
// "<host> (<folder of the file>)", the folder being results/<inventory_hostname>/ when the
// records were fetched by the Ansible role.
#ifndef FORGEVAL_SUMMARY_FLEET_SUMMARY_H_
#define FORGEVAL_SUMMARY_FLEET_SUMMARY_H_

#include <optional>
#include <string>
#include <vector>

#include "summary/record_reader.h"

namespace forgeval {

// How a row stands, in the order the table shows them.
enum class HostState { kFailed, kIncomplete, kFlagged, kPassed };
const char* HostStateName(HostState state);  // "failed", "incomplete", "flagged", "passed"

// One thing to say about a row. Checks: "failed" (a failed worker; `test` names its test),
// "verdict" (a run that failed without a failed worker, or tested nothing), "hardware" (an
// event of the hardware's own error reports; `fails` when it failed the run), "incomplete",
// "disagreement", "outlier".
struct Finding {
  std::string check;
  std::string test;
  std::string text;
  bool fails = false;  // makes the row failed (otherwise it flags it, or only informs)
};

// A rate of the row against the median of its kind, for the chart.
struct RateAgainstMedian {
  std::string name;  // "Memory gb_per_s", "Disk write_mb_per_s", ...
  double value = 0;
  double median = 0;
  size_t hosts = 0;  // machines in the median
};

struct HostRow {
  std::string host;  // the machine's name in the summary
  std::string run;
  std::string file;
  std::string version;
  std::string processor_model;
  std::string started;
  HostState state = HostState::kPassed;
  // "passed", "failed", "interrupted", "fault", "not tested" or "incomplete".
  std::string verdict;
  std::optional<int> exit_code;
  double seconds = 0;  // run_end's, or from the first to the last record when incomplete
  int passes = 0;      // the highest pass of any worker
  std::vector<std::string> tests;  // the tests that ran, in order of first appearance
  std::vector<Finding> findings;
  std::vector<RateAgainstMedian> rates;
  std::optional<double> highest_temperature_c;  // when the health records give one
  std::string hottest_sensor;
};

struct FleetSummary {
  std::vector<HostRow> rows;  // failed, incomplete, flagged, passed; then by name and start
  std::vector<BadLine> bad_lines;
  std::vector<std::string> file_errors;
  size_t files_read = 0;
  size_t runs_read = 0;
  size_t hosts = 0;
  bool all_runs = false;  // a row per run rather than per machine

  // 0 when every row passed and every input was read whole; 1 otherwise.
  int ExitCode() const;
};

FleetSummary SummarizeFleet(const RecordInput& input, bool all_runs);

}  // namespace forgeval

#endif  // FORGEVAL_SUMMARY_FLEET_SUMMARY_H_
