// The run log: the one process-wide object through which every thread writes the log file.
// It writes a header when opened, one line per message (optionally stamped with the local
// time and prefixed with a worker's number) and a footer when closed. Runs append; nothing
// ever truncates the file.
//
// Every line is written with the file opened for appending and closed again, all under one
// lock, so lines of several workers never mix and a crash loses no line already written.
// The lock is a leaf: nothing else is locked while it is held, and a processor fault while
// it is held releases it. When the file cannot be written (a missing folder, a folder or
// other non-file at its name, no rights, a read-only or full disk) the line is lost and the
// run goes on; the console says so once, and once more, naming the number of lines lost,
// when the file can be written again (that line also goes into the log). An empty name
// turns the log off without a word.
//
// Exactly one RunLog exists at a time; it registers itself on construction, and the free
// functions below (LogMessage, ...) write through it from any thread.
#ifndef FORGEVAL_REPORT_RUN_LOG_H_
#define FORGEVAL_REPORT_RUN_LOG_H_

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/fault_signals.h"

namespace forgeval {

class RunLog {
 public:
  // Size of the message buffer: a message holds at most kMessageBufferSize - 1 characters.
  static constexpr int kMessageBufferSize = 3000;

  RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;
  // Writes the footer (Close) when the log was opened and not closed yet.
  ~RunLog();

  // The process-wide run log, or null when none exists.
  static RunLog* Instance();

  // Switches line writing on, names the file `name` inside `folder` (an absolute `name`
  // stands alone; backslashes in it are read as '/') and writes the header.
  void Open(const std::string& folder, const std::string& name);
  void SetLineWriting(bool on);
  void SetTimestamps(bool on);

  // One line from a printf format. Returns 0 when no log is open or `format` is null, 1 when
  // line writing is off (the line is dropped), 1 when written, 0 when the file could not be
  // opened or written.
  int Message(const char* format, va_list arguments) __attribute__((format(gnu_printf, 2, 0)));
  // The same with "Thread <index> : " in front of the line.
  int ThreadMessage(int worker_index, const char* format, va_list arguments)
      __attribute__((format(gnu_printf, 3, 0)));
  void BlankLine();
  // Writes the footer; after it no line is written.
  void Close();

  const std::string& path() const { return path_; }

 private:
  int WriteLine(const int* worker_index, const char* format, va_list arguments)
      __attribute__((format(gnu_printf, 3, 0)));
  // Appends `text` to the file; the caller holds mutex_. When the file's state changes (it
  // cannot be written, or can be again) `notice` gets the line for the console, which the
  // caller prints once it has released mutex_ (the lock is a leaf).
  bool AppendLocked(const std::string& text, std::string* notice);

  char message_[kMessageBufferSize] = {};  // guarded by mutex_
  std::string path_;
  // Released by the fault guard when a processor fault hits a thread while it writes a line
  // (a bad argument to a format, say), so the other workers and the error path go on.
  platform::FaultReleasedMutex mutex_;
  bool line_writing_ = false;
  bool timestamps_ = false;
  bool closed_ = false;
  bool warn_ = true;         // false when the log was turned off with an empty name
  bool failing_ = false;     // the last write failed
  uint64_t lost_lines_ = 0;  // lines lost since the file could last be written
};

// Local time as "%m/%d/%Y %H:%M:%S"; empty when it cannot be formed.
std::string LogTimestamp();

// The operations on the process-wide run log. Before a RunLog exists they write nothing.
// LogOpen names the file relative to the program's own folder.
void LogOpen(const std::string& name);
int LogMessage(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
int LogThreadMessage(int worker_index, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
void LogBlankLine();
void LogClose();

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_RUN_LOG_H_
