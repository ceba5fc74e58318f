#include "fault/crash_report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fault/core_dump.h"
#include "fault/system_info.h"
#include "platform/files.h"
#include "platform/process.h"
#include "report/console.h"
#include "report/run_log.h"

namespace forgeval {
namespace {

constexpr const char* kReportName = "ERRORLOG.TXT";
constexpr const char* kDumpName = "CRASH.DMP";
constexpr const char* kHandlerName = "SeException";

void WriteReportText(ReportFile& report, const platform::FaultRecord* record,
                     const platform::SystemQueries& queries) {
  AppendReportText(report, "\r\n");
  if (record != nullptr) {
    AppendReportText(report, "Exception handler called in %s.\r\n", kHandlerName);
    if (record->code == platform::fault_code::kAccessViolation && record->parameter_count >= 2) {
      AppendReportText(report, "%s location %08x caused an access violation.\r\n",
                       record->parameters[0] == 0 ? "Read from" : "Write to",
                       static_cast<uint32_t>(record->parameters[1]));
    }
  }
  WriteSystemSection(report, queries);
  WriteModuleList(report, queries);
}

// Writes the dump under a temporary name and puts it in place only when it is whole and on
// the disk; returns 0, or the errno of the step that failed (the earlier dump then stays).
int WriteDumpFile(const std::string& path, const platform::FaultPointers& pointers) {
  platform::ReplacementFile dump(path);
  if (!dump.valid()) return errno;
  const CoreDumpSummary summary = WriteCrashDump(
      dump.fd(), pointers.record != nullptr && pointers.context != nullptr ? &pointers : nullptr);
  if (!summary.written) return errno != 0 ? errno : EIO;
  return dump.Commit() ? 0 : (errno != 0 ? errno : EIO);
}

void WarnCrashFile(const char* what, const std::string& path, int error, const char* tail) {
  LogMessage("Warning: the crash %s %s could not be written (%s)%s", what, path.c_str(),
             strerror(error), tail);
  ConsolePrint("Warning: the crash %s %s could not be written (%s)%s\n", what, path.c_str(),
               strerror(error), tail);
}

}  // namespace

size_t AppendReportText(ReportFile& file, const char* format, ...) {
  if (file.pending_ > ReportFile::kFlushThreshold) FlushReportText(file);
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const size_t room = ReportFile::kBufferBytes - file.pending_;
  const int formatted = vsnprintf(file.buffer_ + file.pending_, room, format, arguments);
  va_end(arguments);
  size_t added = 0;
  if (formatted >= 0) {
    added = static_cast<size_t>(formatted);
    if (added < room) {
      file.pending_ += added;
    } else {
      // The piece does not fit behind the pending text: that goes out first, then the piece,
      // through the buffer when it fits there, else on its own.
      FlushReportText(file);
      std::string piece(added + 1, '\0');
      vsnprintf(piece.data(), piece.size(), format, again);
      piece.pop_back();
      if (piece.size() < ReportFile::kBufferBytes) {
        memcpy(file.buffer_, piece.data(), piece.size());
        file.pending_ = piece.size();
      } else if (!platform::WriteAll(file.fd_, piece) && file.error_ == 0) {
        file.error_ = errno;
      }
    }
  }
  va_end(again);
  return added;
}

void FlushReportText(ReportFile& file) {
  if (file.pending_ > 0 &&
      !platform::WriteAll(file.fd_, std::string_view(file.buffer_, file.pending_)) &&
      file.error_ == 0)
    file.error_ = errno;
  file.pending_ = 0;
}

std::string CrashFilePath(const std::string& program_path, const char* file_name) {
  if (program_path.find_first_of("/\\") == std::string::npos) return file_name;
  // The folder and the separator after it, either slash (C:\Forgeval\forgeval.exe on Windows).
  return program_path.substr(0, platform::FolderOf(program_path).size() + 1) + file_name;
}

int CrashReporter::Write(const platform::FaultPointers& pointers) {
  if (!pending_.exchange(false)) return 0;
  const std::string program = queries_.ProgramPath().value_or("Unknown");
  const std::string report_path = CrashFilePath(program, kReportName);
  const std::string dump_path = CrashFilePath(program, kDumpName);
  platform::UniqueFd file = platform::OpenForAppend(report_path, /*write_through=*/true);
  if (!file.valid()) {
    DebugOutput(kReportCreateFailed);
    return 0;
  }
  ReportFile report(file.get());
  WriteReportText(report, pointers.record, queries_);
  FlushReportText(report);
  const int dump_error = WriteDumpFile(dump_path, pointers);
  if (dump_error == 0) {
    AppendReportText(report, "Memory dump written to %s.\r\n", dump_path.c_str());
  } else {
    AppendReportText(report, "Memory dump %s not written (%s); an earlier dump there is kept.\r\n",
                     dump_path.c_str(), strerror(dump_error));
  }
  AppendReportText(report, "\r\n======================= [end of %s] =======================\r\n",
                   kReportName);
  FlushReportText(report);
  if (report.error() != 0) WarnCrashFile("report", report_path, report.error(), "");
  if (dump_error != 0)
    WarnCrashFile("dump", dump_path, dump_error, "; an earlier dump there is kept");
  return 0;
}

int WriteCrashReport(const platform::FaultPointers& pointers) {
  static CrashReporter reporter(platform::RealSystemQueries());
  return reporter.Write(pointers);
}

}  // namespace forgeval
