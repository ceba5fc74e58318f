#include "platform/fault_signals.h"

#include <asm/prctl.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace forgeval::platform {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kAltStackBytes = 64 * 1024;
constexpr size_t kMaxHeldLocks = 8;
// A fault this far below the lowest usable stack address (the guard area and the gap the
// kernel keeps below a growing stack) counts as a stack overflow.
constexpr uintptr_t kStackGuardWindow = 1024 * 1024;

struct ThreadFaultState {
  sigjmp_buf* volatile jump = nullptr;
  FaultRecord record;
  FaultContext context;
  uintptr_t stack_low = 0;
  uintptr_t stack_high = 0;
  stack_t previous_alt_stack{};
  void* alt_stack = nullptr;
  FaultReleasedMutex* held[kMaxHeldLocks] = {};
  size_t held_count = 0;
};

// Plain pointer with static storage: safe to read in a signal handler.
thread_local ThreadFaultState* t_state = nullptr;

struct sigaction g_previous[NSIG];
// /proc/self/mem, for copying stack memory in the handler without touching unmapped pages.
int g_self_memory = -1;
std::once_flag g_memory_once;
std::once_flag g_install_once;

void PassOn(int signal_number, siginfo_t* info, void* raw_context) {
  const struct sigaction& previous = g_previous[signal_number];
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    if (previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal_number, info, raw_context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  // The default action. A real fault takes it when the instruction runs again on return; a
  // sent signal is raised again and arrives once this handler has returned.
  signal(signal_number, SIG_DFL);
  if (info->si_code <= 0) raise(signal_number);
}

uint64_t AccessKind(const ucontext_t* context) {
  const greg_t error = context->uc_mcontext.gregs[REG_ERR];
  if ((error & 16) != 0) return 8;  // instruction fetch
  return (error & 2) != 0 ? 1 : 0;  // write : read
}

void Classify(int signal_number, const siginfo_t* info, const ucontext_t* context,
              const ThreadFaultState* state, FaultRecord* record) {
  const uintptr_t data_address = reinterpret_cast<uintptr_t>(info->si_addr);
  switch (signal_number) {
    case SIGSEGV: {
      const bool in_guard = state->stack_low != 0 && data_address < state->stack_low + 4096 &&
                            data_address + kStackGuardWindow >= state->stack_low;
      record->code = in_guard ? fault_code::kStackOverflow : fault_code::kAccessViolation;
      record->parameter_count = 2;
      record->parameters[0] = AccessKind(context);
      record->parameters[1] = data_address;
      break;
    }
    case SIGBUS:
      record->code = info->si_code == BUS_ADRALN ? fault_code::kDatatypeMisalignment
                                                 : fault_code::kInPageError;
      record->parameter_count = 2;
      record->parameters[0] = AccessKind(context);
      record->parameters[1] = data_address;
      break;
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV:
          record->code = fault_code::kIntDivideByZero;
          break;
        case FPE_INTOVF:
          record->code = fault_code::kIntOverflow;
          break;
        case FPE_FLTDIV:
          record->code = fault_code::kFltDivideByZero;
          break;
        case FPE_FLTOVF:
          record->code = fault_code::kFltOverflow;
          break;
        case FPE_FLTUND:
          record->code = fault_code::kFltUnderflow;
          break;
        case FPE_FLTRES:
          record->code = fault_code::kFltInexactResult;
          break;
        case FPE_FLTINV:
          record->code = fault_code::kFltInvalidOperation;
          break;
        case FPE_FLTSUB:
          record->code = fault_code::kArrayBoundsExceeded;
          break;
        default:
          record->code = fault_code::kFloatMultipleFaults;
          break;
      }
      break;
    default:  // SIGILL
      record->code = (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG)
                         ? fault_code::kPrivInstruction
                         : fault_code::kIllegalInstruction;
      break;
  }
}

// The saved register positions are the kernel's mcontext positions.
static_assert(saved_register::kR8 == size_t{REG_R8} && saved_register::kRdi == size_t{REG_RDI} &&
              saved_register::kRsp == size_t{REG_RSP} && saved_register::kRip == size_t{REG_RIP} &&
              saved_register::kCsGsFs == size_t{REG_CSGSFS} &&
              saved_register::kCr2 == size_t{REG_CR2} &&
              FaultContext::kGeneralRegisters == size_t{NGREG});

// Copies the top of the stack, from the stack pointer upwards, clipped to the thread's
// stack [stack_low, stack_high) (after an overflow the stack pointer lies below it).
// Async-signal-safe.
void SaveStack(FaultContext& context, uintptr_t stack_pointer, uintptr_t stack_low,
               uintptr_t stack_high) {
  context.stack_size = 0;
  uintptr_t from = std::max(stack_pointer, stack_low);
  context.stack_address = from;
  if (g_self_memory < 0 || from >= stack_high) return;
  size_t length = std::min<uintptr_t>(FaultContext::kStackBytes, stack_high - from);
  ssize_t got = pread(g_self_memory, context.stack, length, static_cast<off_t>(from));
  if (got > 0) context.stack_size = static_cast<size_t>(got);
}

// The thread's segment bases; a system call, so async-signal-safe.
void SaveSegmentBases(FaultContext& context) {
  unsigned long base = 0;
  context.fs_base = syscall(SYS_arch_prctl, ARCH_GET_FS, &base) == 0 ? base : 0;
  base = 0;
  context.gs_base = syscall(SYS_arch_prctl, ARCH_GET_GS, &base) == 0 ? base : 0;
}

void OnFault(int signal_number, siginfo_t* info, void* raw_context) {
  ThreadFaultState* state = t_state;
  if (info->si_code <= 0 || state == nullptr || state->jump == nullptr) {
    PassOn(signal_number, info, raw_context);
    return;
  }
  const auto* context = static_cast<const ucontext_t*>(raw_context);
  const greg_t* registers = context->uc_mcontext.gregs;

  FaultRecord& record = state->record;
  record = FaultRecord{};
  record.address = static_cast<uint64_t>(registers[REG_RIP]);
  record.signal = signal_number;
  record.signal_code = info->si_code;
  record.error_number = info->si_errno;
  Classify(signal_number, info, context, state, &record);

  FaultContext& saved = state->context;
  saved.thread_id = static_cast<int>(syscall(SYS_gettid));
  static_assert(sizeof saved.general_registers == sizeof context->uc_mcontext.gregs);
  memcpy(saved.general_registers, registers, sizeof saved.general_registers);
  saved.has_fp_state = context->uc_mcontext.fpregs != nullptr;
  if (saved.has_fp_state)
    memcpy(saved.fp_state, context->uc_mcontext.fpregs, sizeof saved.fp_state);
  static_assert(sizeof saved.signal_info == sizeof(siginfo_t));
  memcpy(saved.signal_info, info, sizeof saved.signal_info);
  SaveSegmentBases(saved);
  SaveStack(saved, static_cast<uintptr_t>(registers[REG_RSP]), state->stack_low, state->stack_high);

  // The mask saved by sigsetjmp is restored, so the signal is unblocked again for the
  // thread's next fault.
  siglongjmp(*state->jump, 1);
}

void OpenSelfMemory() { g_self_memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC); }

void InstallHandlers() {
  std::call_once(g_memory_once, &OpenSelfMemory);
  struct sigaction action {};
  action.sa_sigaction = &OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kFaultSignals) {
    sigaction(signal_number, &action, &g_previous[signal_number]);
  }
}

// The calling thread's stack as [*low, *high); both stay 0 when the system cannot tell.
void FindStack(uintptr_t* low, uintptr_t* high) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* address = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
    *low = reinterpret_cast<uintptr_t>(address);
    *high = *low + size;
  }
  pthread_attr_destroy(&attributes);
}

}  // namespace

ThreadFaultGuard::ThreadFaultGuard() {
  std::call_once(g_install_once, &InstallHandlers);
  auto* state = new ThreadFaultState;
  FindStack(&state->stack_low, &state->stack_high);
  state->alt_stack = malloc(kAltStackBytes);
  stack_t alt_stack{};
  alt_stack.ss_sp = state->alt_stack;
  alt_stack.ss_size = kAltStackBytes;
  sigaltstack(&alt_stack, &state->previous_alt_stack);
  outer_state_ = t_state;
  t_state = state;
}

ThreadFaultGuard::~ThreadFaultGuard() {
  ThreadFaultState* state = t_state;
  t_state = static_cast<ThreadFaultState*>(outer_state_);
  if (state == nullptr) return;
  sigaltstack(&state->previous_alt_stack, nullptr);
  free(state->alt_stack);
  delete state;
}

bool ThreadFaultGuard::Active() { return t_state != nullptr; }

bool RunGuarded(void (*body)(void*), void* argument, FaultPointers* pointers) {
  ThreadFaultState* const state = t_state;
  if (state == nullptr) {
    body(argument);
    return true;
  }
  sigjmp_buf* const previous = state->jump;
  const size_t held_at_entry = state->held_count;
  sigjmp_buf landing;
  if (sigsetjmp(landing, 1) != 0) {
    state->jump = previous;
    while (state->held_count > held_at_entry) state->held[state->held_count - 1]->unlock();
    pointers->record = &state->record;
    pointers->context = &state->context;
    return false;
  }
  state->jump = &landing;
  try {
    body(argument);
  } catch (...) {
    state->jump = previous;
    throw;
  }
  state->jump = previous;
  return true;
}

void CaptureCurrentContext(FaultRecord* record, FaultContext* context) {
  std::call_once(g_memory_once, &OpenSelfMemory);
  ucontext_t here;
  getcontext(&here);
  const greg_t* registers = here.uc_mcontext.gregs;
  *record = FaultRecord{};
  record->code = fault_code::kBreakpoint;
  record->address = static_cast<uint64_t>(registers[REG_RIP]);
  record->signal = SIGTRAP;
  record->signal_code = SI_USER;

  context->thread_id = static_cast<int>(syscall(SYS_gettid));
  memcpy(context->general_registers, registers, sizeof context->general_registers);
  context->has_fp_state = here.uc_mcontext.fpregs != nullptr;
  if (context->has_fp_state)
    memcpy(context->fp_state, here.uc_mcontext.fpregs, sizeof context->fp_state);
  siginfo_t info{};
  info.si_signo = SIGTRAP;
  info.si_code = SI_USER;
  memcpy(context->signal_info, &info, sizeof context->signal_info);
  SaveSegmentBases(*context);
  uintptr_t low = 0;
  uintptr_t high = 0;
  FindStack(&low, &high);
  SaveStack(*context, static_cast<uintptr_t>(registers[REG_RSP]), low, high);
}

void FaultReleasedMutex::lock() {
  mutex_.lock();
  ThreadFaultState* state = t_state;
  if (state != nullptr && state->held_count < kMaxHeldLocks)
    state->held[state->held_count++] = this;
}

void FaultReleasedMutex::unlock() {
  if (ThreadFaultState* state = t_state) {
    for (size_t i = state->held_count; i > 0; --i) {
      if (state->held[i - 1] == this) {
        std::copy(state->held + i, state->held + state->held_count, state->held + i - 1);
        --state->held_count;
        break;
      }
    }
  }
  mutex_.unlock();
}

}  // namespace forgeval::platform
