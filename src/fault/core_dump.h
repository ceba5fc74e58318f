// CRASH.DMP: an ELF core file (ET_CORE, x86-64) of the running process, written by the
// program itself from the context saved when the fault happened, so that
// `gdb <program> CRASH.DMP` shows the faulting thread at the faulting instruction with its
// callers.
//
// Content:
// - notes: NT_PRSTATUS (the faulting thread's registers, its signal and thread id),
//   NT_PRPSINFO (the process), NT_SIGINFO (the fault's siginfo), NT_AUXV (the debugger needs
//   it to place a position-independent program), NT_FILE (the mapped files) and NT_PRFPREG
//   (the FXSAVE area);
// - one PT_LOAD segment per mapping (the debugger thus knows the whole address space), with
//   contents for: the faulting thread's stack (the bytes saved at the fault, then up to 1 MiB
//   of the live stack above them), the loaded objects' non-executable segments (headers,
//   read-only data, unwind tables, relocated data, .data and .bss) and the vDSO, and
//   anonymous mappings of at most 1 MiB (heap, the loader's and the threads' small blocks),
//   16 MiB of those at most.
//   Everything else has no contents in the file: code segments (the debugger reads them from
//   the object files), shared mappings, other file mappings and large anonymous mappings
//   (the test buffers, other threads' stacks).
//
// Only the faulting thread is recorded: the registers of the others cannot be had from
// inside the process. Memory is read through /proc/self/mem, so a page that goes away while
// the dump is written gives zeros, never a fault. Other threads may go on running meanwhile.
//
// On Windows the same WriteCrashDump writes the system's minidump instead (minidump.cpp through
// platform/minidump.h), with the same diagnostic texts; its summary has no segments.
#ifndef FORGEVAL_FAULT_CORE_DUMP_H_
#define FORGEVAL_FAULT_CORE_DUMP_H_

#include <cstddef>
#include <cstdint>

#include "platform/fault_signals.h"

namespace forgeval {

struct CoreDumpSummary {
  uint64_t file_bytes = 0;      // length of the core file
  uint64_t contents_bytes = 0;  // memory contents saved in it
  size_t segments = 0;          // PT_LOAD segments
  bool written = false;         // false when a write failed
};

// Writes the core into `fd` (an empty file opened for writing). With `pointers`, the state
// saved at that fault; without, "raising exception" goes to the diagnostic channel and the
// core shows the calling thread at this call, as a breakpoint there would (SIGTRAP, code
// 0x80000003). Sends "writing minidump" to the diagnostic channel before writing.
CoreDumpSummary WriteCrashDump(int fd, const platform::FaultPointers* pointers);

}  // namespace forgeval

#endif  // FORGEVAL_FAULT_CORE_DUMP_H_
