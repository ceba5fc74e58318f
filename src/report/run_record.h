// The run record: a JSON Lines file for the scripts that collect burn-in results across
// machines. Each record is one JSON object on one line, appended with a single write on a
// file opened for that write alone and synced before the write returns, so a record is
// complete or absent even when the program or the machine goes down mid-run.
//
// Records, in the order a run writes them:
//   run_start   once, when the configuration has been read: the program, the machine and
//               the configuration path;
//   worker_end  for every worker of every test of every pass, when its test has ended:
//               test, pass, worker index, processor, status, error text, seconds and the
//               test's own figures;
//   health      after a test in which the hardware's own error reports changed: the test,
//               the pass, the events, the counters' deltas and the quoted kernel lines;
//   run_end     once: the verdict, the exit code, the seconds, whether the operator
//               interrupted the run, what ended it, whether any worker completed tested
//               work, how many error entries the system log did not take, and the
//               summary of the hardware's error reports.
// Every record carries "record" (its kind), "time" (UTC, ISO 8601) and "run" (one text for
// all records of a run, since one file collects many runs).
//
// A record that cannot be written whole (a full disk) leaves the file as it was, and a file
// that does not end in a line feed (left so by another program) gets one before the next
// record, so every record stays a line of its own.
//
// Texts that are not valid UTF-8 (a path in another encoding) have the offending bytes
// replaced by U+FFFD, so every line stays valid JSON. A record that cannot be written gives
// one warning line on console and log, once per run; the run goes on without it.
//
// One process-wide record; all functions may be called from any thread.
#ifndef FORGEVAL_REPORT_RUN_RECORD_H_
#define FORGEVAL_REPORT_RUN_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace forgeval {

namespace platform {
class SystemQueries;
}

// A JSON value of a record's own; null leaves the field null (or out, where so said).
using RecordJson = nlohmann::ordered_json;

// A figure of a worker's own work: a count, a measurement or a text.
using RecordValue = std::variant<int64_t, double, std::string>;

struct RecordFigure {
  std::string name;
  RecordValue value;
};

// How one worker of a test ended.
struct WorkerEndFacts {
  std::string test;              // the test's configuration section, e.g. "Memory"
  int pass = 0;                  // 1-based
  int worker = 0;                // the worker index
  std::optional<int> processor;  // the processor it was pinned to; none when unpinned
  std::string status;            // "passed", "failed", "interrupted" or "time_up"
  std::string error;             // the error text of a failed worker
  double seconds = 0;
  std::vector<RecordFigure> figures;
};

// Starts the record at `name`, joined to `folder` unless it is absolute (backslashes read as
// '/'). An empty name turns the record off for the run.
void RunRecordOpen(const std::string& folder, const std::string& name);

// The path records go to; empty when the record is off.
std::string RunRecordPath();

// The run_start record. `version` is the program's version text; `health_sources` the
// hardware error sources found and unavailable (null when their reading is off).
void RecordRunStart(const std::string& version, const std::string& config_path,
                    const platform::SystemQueries& system,
                    const RecordJson& health_sources = nullptr);
void RecordWorkerEnd(const WorkerEndFacts& facts);
// How the run ended.
struct RunEndFacts {
  std::optional<std::string> verdict;  // the verdict line; none when the run ended without one
  int exit_code = 0;
  bool interrupted = false;
  // What ended the run: "passes" (all of them ran), "duration" (the time limit), "interrupt"
  // (the operator) or "fault" (a processor fault in the driver).
  std::string ended_by = "passes";
  bool tested = false;          // a worker completed work that tested something
  uint64_t syslog_dropped = 0;  // error entries the system log did not take
  RecordJson health;            // the hardware error summary; null: the field is left out
};
void RecordRunEnd(const RunEndFacts& facts);
// A health record with `fields` (an object) after the common ones.
void RecordHealth(const RecordJson& fields);

// The 16 hexadecimal digits of a double's bit pattern, e.g. "3ff0000000000000" for 1.
std::string DoubleBits(double value);
// The double as "%.17g" writes it: enough digits to give back the same bits.
std::string DoubleText(double value);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_RUN_RECORD_H_
