// CRASH.DMP on Windows: a minidump of the running process, written by the debug-help library's
// MiniDumpWriteDump (loaded on first use), with the fault as the dump's exception so that a
// debugger opens it at the faulting instruction of the faulting thread.
//
// The writer runs on a short-lived helper thread while the calling thread waits for it: after
// a stack overflow the faulting thread has too little stack left for the writer, and a thread
// that writes a dump of itself shows the writer's frames rather than its own.
//
// Windows only: Linux writes an ELF core instead (fault/core_dump.h).
#ifndef FORGEVAL_PLATFORM_MINIDUMP_H_
#define FORGEVAL_PLATFORM_MINIDUMP_H_

#include <cstdint>

#include "platform/fault_signals.h"

namespace forgeval::platform {

struct MinidumpResult {
  uint64_t file_bytes = 0;  // length of the file after writing
  bool written = false;     // false when the writer failed
  int error = 0;            // errno-style cause when it failed (ENOSPC for a full disk, else EIO)
};

// Writes the dump into `fd` (an empty file opened for writing). With `record` and `context`:
// the fault they describe (code, address, parameters) with context.native_context, the
// thread's CONTEXT at the fault, as the exception's context, for thread context.thread_id (the
// calling thread when 0); a context whose native record was never filled gives a dump without
// an exception. Without them (both null): the calling thread at this call, as a breakpoint
// (0x80000003) there would show it.
MinidumpResult WriteMinidump(int fd, const FaultRecord* record, const FaultContext* context);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_MINIDUMP_H_
