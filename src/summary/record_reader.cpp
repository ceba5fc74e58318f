#include "summary/record_reader.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "platform/files.h"

namespace forgeval {
namespace {

using Json = nlohmann::json;

std::string TextOf(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int IntOf(const Json& record, const char* key) {
  const auto it = record.find(key);
  return it != record.end() && it->is_number_integer() ? it->get<int>() : 0;
}

void AddRecord(RecordedRun& run, const Json& record, const std::string& kind) {
  const std::string time = TextOf(record, "time");
  if (run.started.empty()) run.started = time;
  if (!time.empty()) run.last_time = time;
  if (kind == "run_start") {
    run.has_start = true;
    run.started = time;
    run.start = record;
    run.host = TextOf(record, "host");
    run.version = TextOf(record, "version");
    run.processor_model = TextOf(record, "processor_model");
  } else if (kind == "run_end") {
    run.has_end = true;
    run.end = record;
  } else if (kind == "worker_end") {
    RecordedWorker worker;
    worker.test = TextOf(record, "test");
    worker.pass = IntOf(record, "pass");
    worker.worker = IntOf(record, "worker");
    worker.status = TextOf(record, "status");
    worker.error = TextOf(record, "error");
    if (const auto seconds = record.find("seconds");
        seconds != record.end() && seconds->is_number()) {
      worker.seconds = seconds->get<double>();
    }
    if (const auto figures = record.find("figures");
        figures != record.end() && figures->is_object()) {
      worker.figures = *figures;
    }
    run.workers.push_back(std::move(worker));
  } else if (kind == "health") {
    const auto events = record.find("events");
    if (events == record.end() || !events->is_array()) return;
    for (const Json& event : *events) {
      if (!event.is_object()) continue;
      RecordedHealthEvent health;
      health.test = TextOf(record, "test");
      health.pass = IntOf(record, "pass");
      health.source = TextOf(event, "source");
      health.text = TextOf(event, "text");
      const auto fails = event.find("fails");
      health.fails = fails != event.end() && fails->is_boolean() && fails->get<bool>();
      run.health_events.push_back(std::move(health));
    }
  }
  // Kinds this version does not know (written by a later one) add nothing.
}

}  // namespace

void ReadRunRecordText(const std::string& file, const std::string& content, RecordInput& input) {
  std::map<std::string, size_t> runs_of_file;  // run text -> index in input.runs
  size_t line_number = 0;
  for (size_t begin = 0; begin < content.size();) {
    size_t end = content.find('\n', begin);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(begin, end - begin);
    begin = end + 1;
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const Json record = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (record.is_discarded()) {
      input.bad_lines.push_back({file, line_number, "not JSON"});
      continue;
    }
    const std::string kind = record.is_object() ? TextOf(record, "record") : std::string();
    const std::string run = record.is_object() ? TextOf(record, "run") : std::string();
    if (kind.empty() || run.empty()) {
      input.bad_lines.push_back({file, line_number, "not a run record"});
      continue;
    }
    auto [at, added] = runs_of_file.try_emplace(run, input.runs.size());
    if (added) {
      RecordedRun fresh;
      fresh.file = file;
      fresh.run = run;
      fresh.order = input.runs.size();
      input.runs.push_back(std::move(fresh));
    }
    AddRecord(input.runs[at->second], record, kind);
  }
}

RecordInput ReadRunRecords(const std::vector<std::string>& paths) {
  RecordInput input;
  for (const std::string& path : paths) {
    errno = 0;
    const std::optional<std::string> content = platform::ReadWholeFile(path);
    if (!content) {
      input.file_errors.push_back(
          path + ": cannot be read (" +
          (errno != 0 ? std::string(strerror(errno)) : std::string("not an ordinary file")) + ")");
      continue;
    }
    ++input.files_read;
    if (content->find_first_not_of(" \t\r\n") == std::string::npos) {
      input.file_errors.push_back(path + ": is empty (no run record)");
      continue;
    }
    ReadRunRecordText(path, *content, input);
  }
  return input;
}

}  // namespace forgeval
