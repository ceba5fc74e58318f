#include "run/worker_dispatch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "report/run_record.h"
#include "run/ini_file.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

static_assert(kMaxWorkersPerTest <= kWorkerOutcomeSlots);

// What the dispatch knows of one worker, for its run record.
struct WorkerSlot {
  std::optional<int> processor;  // pinned to it
  std::string start_error;       // the thread could not be started
};
using WorkerSlots = std::array<WorkerSlot, kMaxWorkersPerTest>;
using WorkerThreads = std::array<platform::WorkerThread, kMaxWorkersPerTest>;

RunTested g_tested;  // main thread only

const char* StatusText(uint32_t exit_code) {
  switch (exit_code) {
    case kWorkerCompleted:
      return "passed";
    case kWorkerStopped:
      return platform::StopRequestReason() == platform::StopReason::kTimeLimit ? "time_up"
                                                                               : "interrupted";
    default:
      return "failed";
  }
}

// Joins every worker, then records how each of the first `count` ended. True when one of
// them was stopped before the end of its work.
bool JoinAndRecord(const TestEntry& test, int pass_number, int count, WorkerThreads& threads,
                   const WorkerSlots& slots) {
  bool stopped = false;
  std::array<uint32_t, kMaxWorkersPerTest> exit_codes{};
  for (size_t i = 0; i < threads.size(); ++i) exit_codes[i] = threads[i].Join();
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    WorkerOutcome outcome = TakeWorkerOutcome(static_cast<int>(i));
    WorkerEndFacts facts;
    facts.test = test.section;
    facts.pass = pass_number;
    facts.worker = static_cast<int>(i);
    facts.processor = slots[i].processor;
    const bool started = slots[i].start_error.empty();
    facts.status = started ? StatusText(exit_codes[i]) : "failed";
    stopped = stopped || (started && exit_codes[i] == kWorkerStopped);
    facts.error = started ? std::move(outcome.error) : slots[i].start_error;
    facts.seconds = outcome.seconds;
    facts.figures = std::move(outcome.figures);
    RecordWorkerEnd(facts);
    if (facts.status != "passed") continue;
    std::vector<std::string>& untested = g_tested.untested;
    if (outcome.untested.empty()) {
      g_tested.tested = true;
    } else if (std::find(untested.begin(), untested.end(), outcome.untested) == untested.end()) {
      untested.push_back(std::move(outcome.untested));
    }
  }
  return stopped;
}

// A dispatch line that goes to log and console unchanged.
void LogAndPrint(const std::string& text) {
  LogMessage("%s", text.c_str());
  ConsoleWrite(text);
}

void ReportTooManyEntries(const TestEntry& test, std::string_view key,
                          const std::vector<std::string>& entries) {
  std::string text = std::string(test.error_prefix) + "Only " + std::to_string(kMaxWorkersPerTest) +
                     " workers per test, " + std::string(key) + " entries left out: ";
  for (size_t i = kMaxWorkersPerTest; i < entries.size(); ++i) {
    if (i > kMaxWorkersPerTest) text += ", ";
    text += entries[i];
  }
  LogAndPrint(text + " ***]\n");
}

// A thread that could not be started is an error of the run: its test did not run. Returns
// the error text.
std::string ReportStartFailure(const TestEntry& test, int worker_index, int error) {
  std::string text = std::string(test.error_prefix) + "Unable to start thread " +
                     std::to_string(worker_index) + " (" + strerror(error) + ") ***]";
  RaiseFailureFlag();
  LogMessage("%s", text.c_str());
  ReportErrorEvent((text + '\n').c_str());
  ConsoleWrite(text + '\n');
  return text;
}

// The processor the worker now runs on, or none when it could not be pinned.
std::optional<int> Pin(const TestEntry& test, platform::WorkerThread& thread, int worker_index,
                       std::string_view processor_entry) {
  int cpu = ProcessorNumber(processor_entry);
  if (cpu >= 0 && cpu <= kMaxProcessorNumber && thread.PinToProcessor(cpu) == 0) return cpu;
  LogAndPrint(std::string(test.error_prefix) + "Unable to set Thread Affinity mask for thread " +
              std::to_string(worker_index) + " ***]\n");
  return std::nullopt;
}

std::vector<std::string> ProcessorList(const char* section) {
  std::vector<std::string> processors = IniReadList(section, "CPU");
  if (processors.empty()) processors.emplace_back("0");
  return processors;
}

bool DispatchPerProcessor(const TestEntry& test, int pass_number) {
  std::vector<std::string> processors = ProcessorList(test.section);
  if (processors.size() > kMaxWorkersPerTest) ReportTooManyEntries(test, "CPU", processors);
  int count = static_cast<int>(std::min<size_t>(processors.size(), kMaxWorkersPerTest));

  WorkerThreads threads;
  WorkerSlots slots;
  for (int j = 0; j < count; ++j) {
    size_t slot = static_cast<size_t>(j);
    WorkerEntry entry = test.entry;
    int error = threads[slot].Start([entry, j] { return entry(static_cast<uintptr_t>(j)); });
    if (error != 0) {
      slots[slot].start_error = ReportStartFailure(test, j, error);
      continue;
    }
    slots[slot].processor = Pin(test, threads[slot], j, processors[slot]);
  }
  return JoinAndRecord(test, pass_number, count, threads, slots);
}

bool DispatchPerDrive(const TestEntry& test, int pass_number) {
  std::vector<std::string> processors = ProcessorList(test.section);
  std::vector<std::string> drives = IniReadList(test.section, "Drive");
  if (drives.size() > kMaxWorkersPerTest) ReportTooManyEntries(test, "Drive", drives);
  int count = static_cast<int>(std::min<size_t>(drives.size(), kMaxWorkersPerTest));

  // Both tables stay in place, unchanged, until every worker has ended.
  std::array<DiskWorkerArgs, kMaxWorkersPerTest> records;
  WorkerThreads threads;
  WorkerSlots slots;
  for (int j = 0; j < count; ++j) {
    size_t slot = static_cast<size_t>(j);
    records[slot] = DiskWorkerArgs{DriveRootPath(drives[slot]), j, DiskSizeSetting()};
    WorkerEntry entry = test.entry;
    DiskWorkerArgs* record = &records[slot];
    int error =
        threads[slot].Start([entry, record] { return entry(reinterpret_cast<uintptr_t>(record)); });
    if (error != 0) {
      slots[slot].start_error = ReportStartFailure(test, j, error);
      continue;
    }
    // Drives beyond the processor list run unpinned, without a message.
    if (slot < processors.size())
      slots[slot].processor = Pin(test, threads[slot], j, processors[slot]);
  }
  return JoinAndRecord(test, pass_number, count, threads, slots);
}

}  // namespace

bool DispatchTest(const TestEntry& test, int pass_number) {
  if (test.entry == nullptr) return false;
  ClearWorkerOutcomes();
  if (test.list == WorkerList::kPerDrive) return DispatchPerDrive(test, pass_number);
  return DispatchPerProcessor(test, pass_number);
}

const RunTested& TestedSoFar() { return g_tested; }

void ClearTestedSoFar() { g_tested = RunTested(); }

int ProcessorNumber(std::string_view entry) { return ParseSigned32(entry); }

std::string DriveRootPath(std::string_view entry) {
  std::string root = platform::NativePath(std::string(entry));
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + '/';
}

int32_t DiskSizeSetting() {
  std::string text = IniReadString("Disk", "Size", "");
  if (text.substr(0, kNumberTextLength).empty()) return 40;
  return static_cast<int32_t>(ParseUnsigned32(text));
}

}  // namespace forgeval
