#include "report/run_record.h"

#include <bit>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/system_queries.h"
#include "platform/thread.h"
#include "report/console.h"
#include "report/run_log.h"

namespace forgeval {
namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct RecordState {
  std::mutex mutex;
  std::string path;  // empty: the record is off
  std::string run;   // the run's identifier, shared by its records
  Clock::time_point started;
  bool warned = false;
};

RecordState& State() {
  static RecordState state;
  return state;
}

std::string UtcNow() {
  const time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  struct tm utc;
  if (gmtime_r(&now, &utc) == nullptr) return {};
  char text[32];
  return std::string(text, strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc));
}

template <typename Optional>
Json OrNull(const Optional& value) {
  return value ? Json(*value) : Json(nullptr);
}

// One line, written whole or not at all, and on the disk before the next record is made.
void Append(RecordState& state, const Json& record) {
  const std::string line = record.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
  platform::UniqueFd file =
      platform::OpenForAppend(state.path, /*write_through=*/true, /*readable=*/true);
  int error = file.valid() ? 0 : errno;
  if (file.valid() && !platform::AppendWholeLine(file.get(), line)) error = errno;
  if (error == 0 || state.warned) return;
  state.warned = true;
  const std::string warning = "Warning: the run record " + state.path + " cannot be written (" +
                              strerror(error) + "); the run goes on without it";
  LogMessage("%s", warning.c_str());
  ConsolePrint("%s\n", warning.c_str());
}

// Writes a record of `kind` whose own fields `fill` adds after the common ones; nothing when
// the record is off.
template <typename Fill>
void WriteRecord(const char* kind, Fill fill) {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.path.empty()) return;
  Json record;
  record["record"] = kind;
  record["time"] = UtcNow();
  record["run"] = state.run;
  fill(record, state);
  Append(state, record);
}

}  // namespace

void RunRecordOpen(const std::string& folder, const std::string& name) {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.path = name.empty() ? std::string() : platform::PathInFolder(folder, name);
  state.started = Clock::now();
  state.warned = false;
  const auto epoch = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  state.run = std::to_string(epoch) + "-" + std::to_string(platform::ProcessId());
}

std::string RunRecordPath() {
  RecordState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.path;
}

void RecordRunStart(const std::string& version, const std::string& config_path,
                    const platform::SystemQueries& system, const RecordJson& health_sources) {
  WriteRecord("run_start", [&](Json& record, const RecordState&) {
    record["version"] = version;
    record["host"] = OrNull(system.HostName());
    record["kernel"] = OrNull(system.KernelRelease());
    record["processor_model"] = OrNull(system.ProcessorModel());
    record["processors_usable"] = platform::UsableProcessorCount();
    record["memory_bytes"] = system.Memory().physical_total;
    record["configuration"] = config_path;
    record["health_sources"] = health_sources;
  });
}

void RecordWorkerEnd(const WorkerEndFacts& facts) {
  WriteRecord("worker_end", [&facts](Json& record, const RecordState&) {
    record["test"] = facts.test;
    record["pass"] = facts.pass;
    record["worker"] = facts.worker;
    record["processor"] = OrNull(facts.processor);
    record["status"] = facts.status;
    record["error"] = facts.error.empty() ? Json(nullptr) : Json(facts.error);
    record["seconds"] = facts.seconds;
    Json figures = Json::object();
    for (const RecordFigure& figure : facts.figures) {
      std::visit([&](const auto& value) { figures[figure.name] = value; }, figure.value);
    }
    record["figures"] = std::move(figures);
  });
}

void RecordRunEnd(const RunEndFacts& facts) {
  WriteRecord("run_end", [&](Json& record, const RecordState& state) {
    record["verdict"] = OrNull(facts.verdict);
    record["exit_code"] = facts.exit_code;
    record["seconds"] = std::chrono::duration<double>(Clock::now() - state.started).count();
    record["interrupted"] = facts.interrupted;
    record["ended_by"] = facts.ended_by;
    record["tested"] = facts.tested;
    record["syslog_dropped"] = facts.syslog_dropped;
    if (!facts.health.is_null()) record["health"] = facts.health;
  });
}

void RecordHealth(const RecordJson& fields) {
  WriteRecord("health", [&fields](Json& record, const RecordState&) {
    for (const auto& [name, value] : fields.items()) record[name] = value;
  });
}

std::string DoubleBits(double value) {
  char text[17];
  snprintf(text, sizeof text, "%016" PRIx64, std::bit_cast<uint64_t>(value));
  return text;
}

std::string DoubleText(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.17g", value);
  return text;
}

}  // namespace forgeval
