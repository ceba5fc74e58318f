#include "report/run_log.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/files.h"
#include "platform/process.h"
#include "report/console.h"

namespace forgeval {
namespace {

RunLog* g_instance = nullptr;

constexpr const char* kHeaderTitle = "Forgeval 1.3";
constexpr const char* kHeaderRule = "\n---------------------------------------------------\n";
constexpr const char* kFooterRule = "-----------------------------------------\n\n";

// Prints a notice of AppendLocked once the log's lock has been released.
void PrintNotice(const std::string& notice) {
  if (!notice.empty()) ConsolePrint("%s\n", notice.c_str());
}

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
  std::string notice;
  {
    std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
    line_writing_ = true;
    path_ = platform::PathInFolder(folder, name);
    warn_ = !name.empty();
    AppendLocked(
        std::string(kHeaderTitle) + kHeaderRule + "\nStarted at:\t" + LogTimestamp() + "\n\n",
        &notice);
  }
  PrintNotice(notice);
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
  std::string notice;
  int result = 0;
  {
    std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
    if (path_.empty() || closed_) return 0;
    if (!line_writing_) return 1;
    if (format == nullptr) return 0;
    vsnprintf(message_, sizeof message_, format, arguments);
    std::string line;
    if (worker_index != nullptr) line = "Thread " + std::to_string(*worker_index) + " : ";
    if (timestamps_) line += LogTimestamp() + " : ";
    line += EscapeControlBytes(message_);
    line += '\n';
    result = AppendLocked(line, &notice) ? 1 : 0;
  }
  PrintNotice(notice);
  return result;
}

void RunLog::BlankLine() {
  std::string notice;
  {
    std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
    if (path_.empty() || closed_) return;
    AppendLocked("\n", &notice);
  }
  PrintNotice(notice);
}

void RunLog::Close() {
  std::string notice;
  {
    std::lock_guard<platform::FaultReleasedMutex> lock(mutex_);
    if (path_.empty() || closed_) return;
    closed_ = true;
    AppendLocked("\nClosed at:\t" + LogTimestamp() + "\n" + kFooterRule, &notice);
  }
  PrintNotice(notice);
}

bool RunLog::AppendLocked(const std::string& text, std::string* notice) {
  platform::UniqueFd file = platform::OpenForAppend(path_);
  int error = file.valid() ? 0 : errno;
  if (error == 0 && failing_) {
    // Back: the log itself says how much is missing before the line that follows.
    *notice = "Warning: the log " + path_ + " can be written again; " +
              std::to_string(lost_lines_) + " lines were lost";
    std::string note = (timestamps_ ? LogTimestamp() + " : " : std::string()) + *notice + '\n';
    if (!platform::WriteAll(file.get(), note)) error = errno;
  }
  if (error == 0 && !platform::WriteAll(file.get(), text)) error = errno;
  if (error == 0) {
    failing_ = false;
    lost_lines_ = 0;
    return true;
  }
  notice->clear();
  lost_lines_ += static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  if (!failing_ && warn_) {
    *notice = "Warning: the log " + path_ + " cannot be written (" +
              platform::FileErrorText(error) + "); its lines are lost until it can be";
  }
  failing_ = true;
  return false;
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
