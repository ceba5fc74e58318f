#include "platform/fault_signals.h"

#include <malloc.h>  // _resetstkoflw
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

namespace forgeval::platform {
namespace {

constexpr size_t kMaxHeldLocks = 8;
// Stack kept for the exception dispatch after an overflow: without it the handler has about
// 5 KB, and Wine ends the thread silently when that runs out.
constexpr ULONG kStackGuarantee = 64 * 1024;
// A fault whose stack pointer lies this close to the bottom of the thread's stack does not
// throw from the faulting frame (the throw needs stack of its own): it resumes at the
// recovery point, as an overflow does.
constexpr uintptr_t kThrowStackMargin = 2 * kStackGuarantee;

// Thrown from the faulting instruction, caught by RunGuarded only.
struct FaultUnwind {};

// One RunGuarded call that is running on the thread.
struct GuardedRegion {
  GuardedRegion* outer = nullptr;
  size_t held_at_entry = 0;
  // RunGuarded's recovery point (__builtin_setjmp: frame pointer, resume address, stack
  // pointer), for faults that cannot throw.
  void* recovery[5] = {};
};

struct ThreadFaultState {
  GuardedRegion* region = nullptr;
  // Set from a fault's throw until RunGuarded catches it: a fault in a destructor run by
  // that unwinding keeps the first fault's record.
  bool unwinding = false;
  FaultRecord record;
  FaultContext context;
  uintptr_t stack_low = 0;
  uintptr_t stack_high = 0;
  FaultReleasedMutex* held[kMaxHeldLocks] = {};
  size_t held_count = 0;
};

thread_local ThreadFaultState* t_state = nullptr;

// Our own executable's image: faults elsewhere belong to system code with its own handlers.
uintptr_t g_image_low = 0;
uintptr_t g_image_high = 0;
std::once_flag g_install_once;

static_assert(sizeof(CONTEXT) == FaultContext::kNativeContextBytes);
static_assert(sizeof(XMM_SAVE_AREA32) == FaultContext::kFpStateBytes);

bool IsFaultCode(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case fault_code::kFloatMultipleFaults:
      return true;
    default:
      return false;
  }
}

// The registers in the saved_register order; the selectors packed as the header says.
void FillContext(const CONTEXT& native, uintptr_t stack_low, uintptr_t stack_high,
                 FaultContext& saved) {
  namespace r = saved_register;
  uint64_t* g = saved.general_registers;
  std::fill(g, g + FaultContext::kGeneralRegisters, uint64_t{0});
  g[r::kR8] = native.R8, g[r::kR9] = native.R9, g[r::kR10] = native.R10;
  g[r::kR11] = native.R11, g[r::kR12] = native.R12, g[r::kR13] = native.R13;
  g[r::kR14] = native.R14, g[r::kR15] = native.R15, g[r::kRdi] = native.Rdi;
  g[r::kRsi] = native.Rsi, g[r::kRbp] = native.Rbp, g[r::kRbx] = native.Rbx;
  g[r::kRdx] = native.Rdx, g[r::kRax] = native.Rax, g[r::kRcx] = native.Rcx;
  g[r::kRsp] = native.Rsp, g[r::kRip] = native.Rip, g[r::kEflags] = native.EFlags;
  g[r::kCsGsFs] = uint64_t{native.SegCs} | uint64_t{native.SegGs} << 16 |
                  uint64_t{native.SegFs} << 32 | uint64_t{native.SegSs} << 48;
  saved.thread_id = static_cast<int>(GetCurrentThreadId());
  saved.fs_base = 0;
  uint64_t thread_block = 0;  // gs points at the thread's own block, whose 0x30 is its address
  asm("movq %%gs:0x30, %0" : "=r"(thread_block));
  saved.gs_base = thread_block;
  saved.has_fp_state = (native.ContextFlags & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT;
  memcpy(saved.fp_state, &native.FltSave, sizeof saved.fp_state);
  memset(saved.signal_info, 0, sizeof saved.signal_info);
  memcpy(saved.native_context, &native, sizeof native);
  // The stack above the stack pointer is committed up to the stack's top.
  saved.stack_address = native.Rsp;
  saved.stack_size = 0;
  if (native.Rsp >= stack_low && native.Rsp < stack_high) {
    saved.stack_size = std::min<uintptr_t>(FaultContext::kStackBytes, stack_high - native.Rsp);
    memcpy(saved.stack, reinterpret_cast<const void*>(native.Rsp), saved.stack_size);
  }
}

[[noreturn]] void ResumeAtRecoveryPoint() { __builtin_longjmp(t_state->region->recovery, 1); }

}  // namespace
}  // namespace forgeval::platform

// Where a translated fault resumes: a frame below the faulting one whose return address is the
// faulting instruction + 1, so the unwinder takes the faulting frame as one that called out at
// that instruction and runs its cleanups. It aligns the stack (the fault may come at any
// stack pointer) and throws.
extern "C" [[noreturn]] void ForgevalThrowFaultUnwind() { throw forgeval::platform::FaultUnwind{}; }
extern "C" void ForgevalFaultLanding();
asm(R"(
    .text
    .def ForgevalFaultLanding; .scl 2; .type 32; .endef
    .globl ForgevalFaultLanding
    .seh_proc ForgevalFaultLanding
ForgevalFaultLanding:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call ForgevalThrowFaultUnwind
    int3
    .seh_endproc
)");

namespace forgeval::platform {
namespace {

LONG CALLBACK OnException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* raised = exception->ExceptionRecord;
  ThreadFaultState* const state = IsFaultCode(raised->ExceptionCode) ? t_state : nullptr;
  const auto at = reinterpret_cast<uintptr_t>(raised->ExceptionAddress);
  if (state == nullptr || state->region == nullptr || at < g_image_low || at >= g_image_high)
    return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* const native = exception->ContextRecord;
  const bool stack_short =
      native->Rsp < state->stack_low + kThrowStackMargin || native->Rsp >= state->stack_high;
  // A throw while an exception unwinds the stack (from a destructor) would end the process.
  const bool in_flight = std::uncaught_exceptions() > 0;
  if (!in_flight) state->unwinding = false;  // a fault's throw some catch clause kept
  const bool recover =
      in_flight || stack_short || raised->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  if (!state->unwinding) {
    FaultRecord& record = state->record;
    record = FaultRecord{};
    record.code = raised->ExceptionCode;
    record.address = at;
    record.parameter_count = std::min<DWORD>(raised->NumberParameters, 2);
    for (uint32_t i = 0; i < record.parameter_count; ++i)
      record.parameters[i] = raised->ExceptionInformation[i];
    FillContext(*native, state->stack_low, state->stack_high, state->context);
  }
  if (recover) {
    // Below RunGuarded's frame, where the recovery point's stack pointer lies.
    const auto recovery_stack = reinterpret_cast<uintptr_t>(state->region->recovery[2]);
    native->Rsp = ((recovery_stack - 1024) & ~uintptr_t{15}) - 8;
    native->Rip = reinterpret_cast<uintptr_t>(&ResumeAtRecoveryPoint);
  } else {
    state->unwinding = true;
    native->Rsp -= 8;
    *reinterpret_cast<uint64_t*>(native->Rsp) = at + 1;
    native->Rip = reinterpret_cast<uintptr_t>(&ForgevalFaultLanding);
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

void Install() {
  const auto* image = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  g_image_low = reinterpret_cast<uintptr_t>(image);
  g_image_high = g_image_low + nt->OptionalHeader.SizeOfImage;
  AddVectoredExceptionHandler(1, &OnException);
}

// Ends the region of RunGuarded after a fault: unlocks what the region locked, hands the
// fault over.
bool EndFaultedRegion(ThreadFaultState* state, GuardedRegion& region, FaultPointers* pointers) {
  state->region = region.outer;
  state->unwinding = false;
  while (state->held_count > region.held_at_entry) state->held[state->held_count - 1]->unlock();
  pointers->record = &state->record;
  pointers->context = &state->context;
  return false;
}

// The part of RunGuarded that throwing faults return to; apart from the recovery point, which
// must not share a frame with a try block's landing pads.
__attribute__((noinline)) bool RunCatching(void (*body)(void*), void* argument,
                                           FaultPointers* pointers, ThreadFaultState* state,
                                           GuardedRegion& region) {
  try {
    body(argument);
  } catch (const FaultUnwind&) {
    return EndFaultedRegion(state, region, pointers);
  } catch (...) {
    state->region = region.outer;
    throw;
  }
  state->region = region.outer;
  return true;
}

}  // namespace

ThreadFaultGuard::ThreadFaultGuard() {
  std::call_once(g_install_once, &Install);
  auto* state = new ThreadFaultState;
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  state->stack_low = low;
  state->stack_high = high;
  ULONG guarantee = kStackGuarantee;
  SetThreadStackGuarantee(&guarantee);  // can only grow; a larger one already set stays
  outer_state_ = t_state;
  t_state = state;
}

ThreadFaultGuard::~ThreadFaultGuard() {
  ThreadFaultState* state = t_state;
  t_state = static_cast<ThreadFaultState*>(outer_state_);
  delete state;
}

bool ThreadFaultGuard::Active() { return t_state != nullptr; }

bool RunGuarded(void (*body)(void*), void* argument, FaultPointers* pointers) {
  ThreadFaultState* const state = t_state;
  if (state == nullptr) {
    body(argument);
    return true;
  }
  GuardedRegion region;
  region.outer = state->region;
  region.held_at_entry = state->held_count;
  if (__builtin_setjmp(region.recovery) != 0) {
    // Back from an overflow (or a fault that could not throw): the stack is ours again, so
    // its guard page can be restored for the next overflow.
    _resetstkoflw();
    return EndFaultedRegion(t_state, region, pointers);
  }
  state->region = &region;
  return RunCatching(body, argument, pointers, state, region);
}

void CaptureCurrentContext(FaultRecord* record, FaultContext* context) {
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  alignas(16) CONTEXT here{};
  RtlCaptureContext(&here);
  *record = FaultRecord{};
  record->code = fault_code::kBreakpoint;
  record->address = here.Rip;
  FillContext(here, low, high, *context);
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
