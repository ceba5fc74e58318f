// CRASH.DMP on Windows: the system's minidump rather than an ELF core, behind the same
// WriteCrashDump as core_dump.cpp. A minidump has no segment table: CoreDumpSummary's segments
// and contents_bytes stay 0.
#include <cerrno>

#include "fault/core_dump.h"
#include "platform/minidump.h"
#include "report/console.h"

namespace forgeval {
namespace {

constexpr const char* kWritingText = "writing minidump\r\n";
constexpr const char* kRaisingText = "raising exception\r\n";

}  // namespace

CoreDumpSummary WriteCrashDump(int fd, const platform::FaultPointers* pointers) {
  platform::MinidumpResult result;
  if (pointers != nullptr && pointers->record != nullptr && pointers->context != nullptr) {
    DebugOutput(kWritingText);
    result = platform::WriteMinidump(fd, pointers->record, pointers->context);
  } else {
    // The writer takes the calling thread's context itself, as a breakpoint here would.
    DebugOutput(kRaisingText);
    DebugOutput(kWritingText);
    result = platform::WriteMinidump(fd, nullptr, nullptr);
  }
  CoreDumpSummary summary;
  summary.file_bytes = result.file_bytes;
  summary.written = result.written;
  if (!result.written) errno = result.error;
  return summary;
}

}  // namespace forgeval
