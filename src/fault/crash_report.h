// The crash report: the first processor fault of a run that a worker or the driver catches
// leaves two files beside the program, ERRORLOG.TXT (a text report appended to whatever the
// file held) and CRASH.DMP (an ELF core of the moment of the fault, replaced every time).
// CSeException::Delete calls WriteCrashReport; only the first call of the process writes.
//
// ERRORLOG.TXT, one report, CRLF line ends:
//   "" (an empty line separating it from the previous content)
//   "Exception handler called in SeException."
//   "Read from location 00000000 caused an access violation."   (access violations only)
//   the machine description and the module list (system_info.h)
//   "Memory dump written to <path of CRASH.DMP>." or "Memory dump <path> not written
//   (<reason>); an earlier dump there is kept."
//   "" and "======================= [end of ERRORLOG.TXT] ======================="
//
// The report up to the module list is on the disk before the dump is begun. The dump replaces
// CRASH.DMP only once it is written whole and synced (a full folder leaves the earlier dump).
// A report or dump that cannot be written whole is also said on console and log, so nothing
// of a fault is lost without a word.
//
// The text goes through one 8,192-byte buffer written to the file in chunks: a piece is
// formatted into the buffer after the text already pending, and the pending text is written
// out first whenever more than 7,168 characters (the buffer less the 1,024-character room a
// piece normally needs) are waiting. The file is opened write-through (O_DSYNC), so what was
// written is on the disk even if the process dies right after.
//
// Thread safety: WriteCrashReport may be called by several threads at once; the pending flag
// is tested and cleared in one atomic step, so exactly the first caller writes and the others
// return at once without touching the buffer or the files.
#ifndef FORGEVAL_FAULT_CRASH_REPORT_H_
#define FORGEVAL_FAULT_CRASH_REPORT_H_

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/fault_signals.h"
#include "platform/system_queries.h"

namespace forgeval {

// The open report file and its text buffer. Used by one thread at a time.
class ReportFile {
 public:
  static constexpr size_t kBufferBytes = 8192;
  static constexpr size_t kPieceRoom = 1024;  // the formatter's usual limit per piece
  static constexpr size_t kFlushThreshold = kBufferBytes - kPieceRoom;

  // Writes to `fd`, which the caller keeps open until the last FlushReportText.
  explicit ReportFile(int fd) : fd_(fd) {}
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // The errno of the first write to the file that failed; 0 when none did.
  int error() const { return error_; }

 private:
  friend size_t AppendReportText(ReportFile& file, const char* format, ...);
  friend void FlushReportText(ReportFile& file);

  int fd_;
  int error_ = 0;  // errno of the first write that failed
  size_t pending_ = 0;
  char buffer_[kBufferBytes];
};

// Formats one piece of report text into the buffer; returns the number of characters added.
// A piece longer than the buffer can take (a very long path) is written out whole, never cut.
// A failed write does not stop the report; the file remembers its error.
size_t AppendReportText(ReportFile& file, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));

// Writes the pending text to the file and empties the buffer.
void FlushReportText(ReportFile& file);

// The report writer with its own pending flag; the program uses one per process (behind
// WriteCrashReport), tests make their own with fixed system facts.
class CrashReporter {
 public:
  explicit CrashReporter(const platform::SystemQueries& queries) : queries_(queries) {}
  CrashReporter(const CrashReporter&) = delete;
  CrashReporter& operator=(const CrashReporter&) = delete;

  // WriteCrashReport for this reporter. Always returns 0.
  int Write(const platform::FaultPointers& pointers);

 private:
  std::atomic<bool> pending_{true};
  const platform::SystemQueries& queries_;
};

// Writes ERRORLOG.TXT and CRASH.DMP for the fault, the first time it is called in the process;
// later calls do nothing. Always returns 0.
int WriteCrashReport(const platform::FaultPointers& pointers);

// Path of a crash file: `program_path` with its last component (after the last '/', or the last
// '\' when it has no '/') replaced by `file_name`; the bare `file_name` (the current folder)
// when the path has no folder part.
std::string CrashFilePath(const std::string& program_path, const char* file_name);

// The texts sent to the diagnostic channel (standard error).
inline constexpr const char* kReportCreateFailed = "Error creating exception report\r\n";

}  // namespace forgeval

#endif  // FORGEVAL_FAULT_CRASH_REPORT_H_
