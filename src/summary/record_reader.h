// Reading run records for the fleet summary: JSON Lines files from many machines, each line
// one record of one run. Records are gathered into runs by the file they came from and their
// "run" text (two machines can give the same text: it is a start time and a process id).
//
// Nothing is lost quietly: a line that is not JSON, or JSON that is not a record (an object
// with a "record" kind and a "run" text), is kept as a bad line with its file and line number
// and the rest of the file is still read; a file that is missing, unreadable or empty is a
// file error naming it. Blank lines carry nothing and are skipped.
#ifndef FORGEVAL_SUMMARY_RECORD_READER_H_
#define FORGEVAL_SUMMARY_RECORD_READER_H_

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace forgeval {

// A worker_end record.
struct RecordedWorker {
  std::string test;
  int pass = 0;
  int worker = 0;
  std::string status;
  std::string error;
  double seconds = 0;
  nlohmann::json figures = nlohmann::json::object();
};

// One event of a health record: a change the hardware's own error reports showed.
struct RecordedHealthEvent {
  std::string test;
  int pass = 0;
  std::string source;
  std::string text;
  bool fails = false;
};

// The records of one run, in the order written.
struct RecordedRun {
  std::string file;  // the file the records came from
  std::string run;   // the run's "run" text
  size_t order = 0;  // position of its first record among all files read
  bool has_start = false;
  bool has_end = false;
  std::string host;             // run_start "host"; empty when unknown
  std::string version;          // run_start "version"
  std::string processor_model;  // empty when unknown
  std::string started;          // "time" of run_start (or of the first record seen)
  std::string last_time;        // "time" of the last record
  nlohmann::json start = nlohmann::json::object();  // the run_start record
  nlohmann::json end = nlohmann::json::object();    // the run_end record
  std::vector<RecordedWorker> workers;
  std::vector<RecordedHealthEvent> health_events;
};

struct BadLine {
  std::string file;
  size_t line = 0;  // 1-based
  std::string reason;
};

struct RecordInput {
  std::vector<RecordedRun> runs;         // in the order their first records were read
  std::vector<BadLine> bad_lines;        // in the order read
  std::vector<std::string> file_errors;  // "<path>: <what is wrong>"
  size_t files_read = 0;
};

// Reads every file in turn.
RecordInput ReadRunRecords(const std::vector<std::string>& paths);

// Adds the records of `content` (the text of `file`) to `input`.
void ReadRunRecordText(const std::string& file, const std::string& content, RecordInput& input);

}  // namespace forgeval

#endif  // FORGEVAL_SUMMARY_RECORD_READER_H_
