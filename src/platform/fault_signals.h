// Processor faults as the operating system delivers them: SIGSEGV, SIGBUS, SIGFPE and SIGILL on
// Linux, the structured exceptions of the fault codes below on Windows. A thread that holds a
// ThreadFaultGuard gets its faults inside RunGuarded back as a return value, with a record of
// the fault (the code and parameters the program reports) and the processor context saved at
// the moment of the fault (registers, floating-point state, the top of the stack; on Windows
// also the whole CONTEXT record), for the crash report and dump.
//
// How it works on Linux: a handler on a per-thread alternate stack saves the context into
// storage reserved for the thread, then jumps (siglongjmp) back into RunGuarded's frame, which
// returns false. Jumping rather than throwing from the handler works at every optimisation
// level and also out of a stack overflow; its price is that destructors of the frames between
// the fault and RunGuarded do not run.
//
// How it works on Windows: one vectored exception handler, first in line, acts on the fault
// codes in guarded regions of guarded threads, and only on faults of instructions in the
// program's own image (system code such as IsBadReadPtr handles its own faults). It saves the
// fault like the Linux handler, then resumes the thread in a landing frame that throws, as if
// the faulting instruction had called it (the code is built with -fnon-call-exceptions), and
// RunGuarded catches that throw: the destructors of the frames between the fault and RunGuarded
// DO run. A stack overflow, a fault too near the end of the stack and a fault while a C++
// exception unwinds the stack (in a destructor) resume instead at a recovery point in RunGuarded's
// frame, without destructors, as on Linux; after an overflow the stack's guard page is restored,
// and every guarded thread keeps 64 KiB of stack for the handler (SetThreadStackGuarantee).
//
// On both, locks that must not stay held after a fault are FaultReleasedMutex, which RunGuarded
// releases on the way out when no destructor did.
//
// A fault outside RunGuarded, a fault in a thread without a guard, and (on Linux) any of these
// signals sent by kill, raise or sigqueue get the action that was in place before (the default
// action: the process ends, with a core on Linux).
#ifndef FORGEVAL_PLATFORM_FAULT_SIGNALS_H_
#define FORGEVAL_PLATFORM_FAULT_SIGNALS_H_

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace forgeval::platform {

// Fault codes, numbered as the program reports them on every platform.
namespace fault_code {
inline constexpr uint32_t kDatatypeMisalignment = 0x80000002;
inline constexpr uint32_t kBreakpoint = 0x80000003;
inline constexpr uint32_t kAccessViolation = 0xC0000005;
inline constexpr uint32_t kInPageError = 0xC0000006;
inline constexpr uint32_t kIllegalInstruction = 0xC000001D;
inline constexpr uint32_t kArrayBoundsExceeded = 0xC000008C;
inline constexpr uint32_t kFltDivideByZero = 0xC000008E;
inline constexpr uint32_t kFltInexactResult = 0xC000008F;
inline constexpr uint32_t kFltInvalidOperation = 0xC0000090;
inline constexpr uint32_t kFltOverflow = 0xC0000091;
inline constexpr uint32_t kFltUnderflow = 0xC0000093;
inline constexpr uint32_t kIntDivideByZero = 0xC0000094;
inline constexpr uint32_t kIntOverflow = 0xC0000095;
inline constexpr uint32_t kPrivInstruction = 0xC0000096;
inline constexpr uint32_t kStackOverflow = 0xC00000FD;
// A floating-point fault the kernel does not classify; it has no name.
inline constexpr uint32_t kFloatMultipleFaults = 0xC00002B4;
}  // namespace fault_code

// What faulted, in the layout the reports use.
struct FaultRecord {
  uint32_t code = 0;
  uint64_t address = 0;  // the faulting instruction
  // For access violations, in-page errors and misalignments: [0] 0 for a read, 1 for a
  // write, 8 for an instruction fetch; [1] the inaccessible address.
  uint32_t parameter_count = 0;
  uint64_t parameters[2] = {};
  int signal = 0;
  int signal_code = 0;  // si_code
  int error_number = 0;
};

// Positions in FaultContext::general_registers (the x86-64 mcontext order). kCsGsFs packs the
// selectors: cs in bits 0-15, gs 16-31, fs 32-47, ss 48-63.
namespace saved_register {
inline constexpr size_t kR8 = 0, kR9 = 1, kR10 = 2, kR11 = 3, kR12 = 4, kR13 = 5, kR14 = 6,
                        kR15 = 7, kRdi = 8, kRsi = 9, kRbp = 10, kRbx = 11, kRdx = 12, kRax = 13,
                        kRcx = 14, kRsp = 15, kRip = 16, kEflags = 17, kCsGsFs = 18, kErr = 19,
                        kTrapNo = 20, kOldMask = 21, kCr2 = 22;
}  // namespace saved_register

// The processor context at the fault, copied in the handler.
struct FaultContext {
  static constexpr size_t kGeneralRegisters = 23;  // NGREG on x86-64, in mcontext order
  static constexpr size_t kFpStateBytes = 512;     // the FXSAVE area
  static constexpr size_t kStackBytes = 64 * 1024;

  int thread_id = 0;
  uint64_t general_registers[kGeneralRegisters] = {};
  uint64_t fs_base = 0;  // the thread pointer, which a debugger needs for thread-local data
  uint64_t gs_base = 0;
  bool has_fp_state = false;
  alignas(16) uint8_t fp_state[kFpStateBytes] = {};
  uint64_t signal_info[16] = {};  // the raw siginfo_t (128 bytes)
  // On Windows, the thread's CONTEXT record at the fault (1232 bytes on x64), which the
  // minidump names as the exception's context; unused on Linux.
  static constexpr size_t kNativeContextBytes = 1232;
  alignas(16) uint8_t native_context[kNativeContextBytes] = {};
  uint64_t stack_address = 0;  // where the saved stack bytes lay
  size_t stack_size = 0;
  uint8_t stack[kStackBytes] = {};
};

// The two halves handed to the reports, valid until the thread's next fault or the end of
// its guard.
struct FaultPointers {
  FaultRecord* record = nullptr;
  FaultContext* context = nullptr;
};

// Reserves the calling thread's fault storage and alternate stack, and installs the
// process's handlers on first use. Lives on the thread it was made on; a guard made while
// another is active takes over until it ends, then the outer one is in force again.
class ThreadFaultGuard {
 public:
  ThreadFaultGuard();
  ThreadFaultGuard(const ThreadFaultGuard&) = delete;
  ThreadFaultGuard& operator=(const ThreadFaultGuard&) = delete;
  ~ThreadFaultGuard();

  // True when the calling thread holds a guard.
  static bool Active();

 private:
  void* outer_state_ = nullptr;
};

// Runs body(argument). Returns true when it returned normally; false when a processor fault
// happened inside it, with *pointers describing the fault. C++ exceptions pass through
// unchanged. Without a guard on the calling thread it simply runs the body. May be nested.
bool RunGuarded(void (*body)(void*), void* argument, FaultPointers* pointers);

// Fills *record and *context with the calling thread's state at this call, as if a breakpoint
// (code 0x80000003, SIGTRAP) had been hit here: for a dump of a thread that has not faulted.
// The caller owns both objects (FaultContext is large; keep it off small stacks).
void CaptureCurrentContext(FaultRecord* record, FaultContext* context);

// A mutex that RunGuarded unlocks when a fault jumps out of a region that locked it, so a
// fault while holding it cannot hang the other threads. Only the lock of a leaf (nothing
// else locked while it is held) should be one.
class FaultReleasedMutex {
 public:
  void lock();
  void unlock();

 private:
  std::mutex mutex_;
};

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_FAULT_SIGNALS_H_
