#include "report/run_log.h"

#include <cassert>
#include <cstdio>
#include <ctime>

#include "platform/files.h"
#include "platform/process.h"

namespace forgeval {
namespace {

RunLog* g_instance = nullptr;

constexpr const char* kHeaderTitle = "Forgeval 1.3";
constexpr const char* kHeaderRule = "\n---------------------------------------------------\n";
constexpr const char* kFooterRule = "-----------------------------------------\n\n";

}  // namespace

RunLog::RunLog() {
  assert(g_instance == nullptr);
  g_instance = this;
}

RunLog::~RunLog() {
  Close();
  g_instance = nullptr;
}

RunLog* RunLog::Instance() { return g_instance; }

std::string LogTimestamp() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return {};
  char text[128];
  size_t length = strftime(text, sizeof text, "%m/%d/%Y %H:%M:%S", &local);
  return std::string(text, length);
}

void RunLog::Open(const std::string& folder, const std::string& name) {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  line_writing_ = true;
  path_ = platform::PathInFolder(folder, name);
  AppendLocked(std::string(kHeaderTitle) + kHeaderRule + "\nStarted at:\t" + LogTimestamp() +
               "\n\n");
}

void RunLog::SetLineWriting(bool on) {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  line_writing_ = on;
}

void RunLog::SetTimestamps(bool on) {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  timestamps_ = on;
}

int RunLog::Message(const char* format, va_list arguments) {
  return WriteLine(nullptr, format, arguments);
}

int RunLog::ThreadMessage(int worker_index, const char* format, va_list arguments) {
  return WriteLine(&worker_index, format, arguments);
}

int RunLog::WriteLine(const int* worker_index, const char* format, va_list arguments) {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  if (path_.empty() || closed_) return 0;
  if (!line_writing_) return 1;
  if (format == nullptr) return 0;
  vsnprintf(message_, sizeof message_, format, arguments);
  std::string line;
  if (worker_index != nullptr) line = "Thread " + std::to_string(*worker_index) + " : ";
  if (timestamps_) line += LogTimestamp() + " : ";
  line += message_;
  line += '\n';
  return AppendLocked(line) ? 1 : 0;
}

void RunLog::BlankLine() {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  if (path_.empty() || closed_) return;
  AppendLocked("\n");
}

void RunLog::Close() {
  std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
  if (path_.empty() || closed_) return;
  closed_ = true;
  AppendLocked("\nClosed at:\t" + LogTimestamp() + "\n" + kFooterRule);
}

bool RunLog::AppendLocked(const std::string& text) {
  platform::UniqueFd file = platform::OpenForAppend(path_);
  return file.valid() && platform::WriteAll(file.get(), text);
}

void LogOpen(const std::string& name) {
  if (RunLog* log = RunLog::Instance()) log->Open(platform::ProgramFolder(), name);
}

int LogMessage(const char* format, ...) {
  RunLog* log = RunLog::Instance();
  if (log == nullptr) return 0;
  va_list arguments;
  va_start(arguments, format);
  int result = log->Message(format, arguments);
  va_end(arguments);
  return result;
}

int LogThreadMessage(int worker_index, const char* format, ...) {
  RunLog* log = RunLog::Instance();
  if (log == nullptr) return 0;
  va_list arguments;
  va_start(arguments, format);
  int result = log->ThreadMessage(worker_index, format, arguments);
  va_end(arguments);
  return result;
}

void LogBlankLine() {
  if (RunLog* log = RunLog::Instance()) log->BlankLine();
}

void LogClose() {
  if (RunLog* log = RunLog::Instance()) log->Close();
}

}  // namespace forgeval
