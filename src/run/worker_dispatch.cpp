#include "run/worker_dispatch.h"

#include <array>
#include <cstring>
#include <vector>

#include "platform/process.h"
#include "platform/thread.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/run_log.h"
#include "run/ini_file.h"

namespace forgeval {
namespace {

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

// A thread that could not be started is an error of the run: its test did not run.
void ReportStartFailure(const TestEntry& test, int worker_index, int error) {
  std::string text = std::string(test.error_prefix) + "Unable to start thread " +
                     std::to_string(worker_index) + " (" + strerror(error) + ") ***]";
  RaiseFailureFlag();
  LogMessage("%s", text.c_str());
  text += '\n';
  ReportErrorEvent(text.c_str());
  ConsoleWrite(text);
}

void Pin(const TestEntry& test, platform::WorkerThread& thread, int worker_index,
         std::string_view processor_entry) {
  int cpu = ProcessorNumber(processor_entry);
  if (cpu >= 0 && cpu <= kMaxProcessorNumber && thread.PinToProcessor(cpu) == 0) return;
  LogAndPrint(std::string(test.error_prefix) + "Unable to set Thread Affinity mask for thread " +
              std::to_string(worker_index) + " ***]\n");
}

std::vector<std::string> ProcessorList(const char* section) {
  std::vector<std::string> processors = IniReadList(section, "CPU");
  if (processors.empty()) processors.emplace_back("0");
  return processors;
}

void DispatchPerProcessor(const TestEntry& test) {
  std::vector<std::string> processors = ProcessorList(test.section);
  if (processors.size() > kMaxWorkersPerTest) ReportTooManyEntries(test, "CPU", processors);
  int count = static_cast<int>(std::min<size_t>(processors.size(), kMaxWorkersPerTest));

  std::array<platform::WorkerThread, kMaxWorkersPerTest> threads;
  for (int j = 0; j < count; ++j) {
    WorkerEntry entry = test.entry;
    int error = threads[static_cast<size_t>(j)].Start(
        [entry, j] { return entry(static_cast<uintptr_t>(j)); });
    if (error != 0) {
      ReportStartFailure(test, j, error);
      continue;
    }
    Pin(test, threads[static_cast<size_t>(j)], j, processors[static_cast<size_t>(j)]);
  }
  for (platform::WorkerThread& thread : threads) thread.Join();
}

void DispatchPerDrive(const TestEntry& test) {
  std::vector<std::string> processors = ProcessorList(test.section);
  std::vector<std::string> drives = IniReadList(test.section, "Drive");
  if (drives.size() > kMaxWorkersPerTest) ReportTooManyEntries(test, "Drive", drives);
  int count = static_cast<int>(std::min<size_t>(drives.size(), kMaxWorkersPerTest));

  // Both tables stay in place, unchanged, until every worker has ended.
  std::array<DiskWorkerArgs, kMaxWorkersPerTest> records;
  std::array<platform::WorkerThread, kMaxWorkersPerTest> threads;
  for (int j = 0; j < count; ++j) {
    size_t slot = static_cast<size_t>(j);
    records[slot] = DiskWorkerArgs{DriveRootPath(drives[slot]), j, DiskSizeSetting()};
    WorkerEntry entry = test.entry;
    DiskWorkerArgs* record = &records[slot];
    int error =
        threads[slot].Start([entry, record] { return entry(reinterpret_cast<uintptr_t>(record)); });
    if (error != 0) {
      ReportStartFailure(test, j, error);
      continue;
    }
    // Drives beyond the processor list run unpinned, without a message.
    if (slot < processors.size()) Pin(test, threads[slot], j, processors[slot]);
  }
  for (platform::WorkerThread& thread : threads) thread.Join();
}

}  // namespace

void DispatchTest(const TestEntry& test) {
  if (test.entry == nullptr) return;
  if (test.list == WorkerList::kPerDrive) {
    DispatchPerDrive(test);
  } else {
    DispatchPerProcessor(test);
  }
}

int ProcessorNumber(std::string_view entry) { return ParseSigned32(entry); }

std::string DriveRootPath(std::string_view entry) {
  std::string root = platform::WithForwardSlashes(std::string(entry));
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + '/';
}

int32_t DiskSizeSetting() {
  std::string text = IniReadString("Disk", "Size", "");
  if (text.substr(0, kNumberTextLength).empty()) return 40;
  return static_cast<int32_t>(ParseUnsigned32(text));
}

}  // namespace forgeval
