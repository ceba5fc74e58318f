// What the Windows translation adds to the portable fault tests: the unwinding through the
// faulting frames, the native context, and faults that system code handles itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>

#include "faults.h"
#include "platform/fault_signals.h"

namespace forgeval::platform {
namespace {

struct Flagged {
  bool* ran;
  ~Flagged() { *ran = true; }
};

// A destructor that faults itself while the first fault unwinds.
struct FaultingOnDestruction {
  ~FaultingOnDestruction() { FaultDivideByZero(); }
};

FaultReleasedMutex g_leaf_lock;
int* volatile g_null = nullptr;
bool g_destroyed = false, g_caught_in_frame = false;
BOOL g_bad_read = FALSE;
int g_length = -1;

// Destructors between the fault and RunGuarded run; a fault at the first instruction of a try
// block in compiled code reaches its catch clause (the unwinder takes the faulting instruction
// as the frame's position); a fault in a destructor leaves the first fault's record, and one
// while a C++ exception unwinds is a fault of its own; system code keeps its own faults
// (IsBadReadPtr, lstrlenA); a leaf lock held at the fault is released; C++ exceptions pass.
TEST(FaultSignalsWin32Test, UnwindsTheFaultingFramesAndLeavesSystemFaultsAlone) {
  ThreadFaultGuard guard;
  const struct {
    void (*body)(void*);
    const void* site;  // null: anywhere
    const char* outcome;
  } cases[] = {{[](void*) {
                  Flagged flagged{&g_destroyed};
                  g_leaf_lock.lock();
                  FaultNullRead();
                },
                FaultNullReadSite, "0xc0000005 at site"},
               {[](void*) {
                  try {
                    *g_null = 1;
                  } catch (...) {
                    g_caught_in_frame = true;
                    throw;
                  }
                },
                nullptr, "0xc0000005"},
               {[](void*) {
                  FaultingOnDestruction faulting;
                  FaultIllegalInstruction();
                },
                FaultIllegalInstructionSite, "0xc000001d at site"},
               {[](void*) {
                  FaultingOnDestruction faulting;
                  throw std::runtime_error("unwinding");
                },
                FaultDivideByZeroSite, "0xc0000094 at site"},
               {[](void*) {
                  g_bad_read = IsBadReadPtr(reinterpret_cast<void*>(16), 8);
                  g_length = lstrlenA(reinterpret_cast<const char*>(16));
                },
                nullptr, "returned"}};
  std::string outcomes, expected;
  for (const auto& one : cases) {
    FaultPointers pointers;
    char outcome[48] = "returned";
    if (!RunGuarded(one.body, nullptr, &pointers)) {
      const bool at_site = pointers.record->address == reinterpret_cast<uintptr_t>(one.site);
      snprintf(outcome, sizeof outcome, "%#x%s", pointers.record->code,
               one.site == nullptr ? ""
               : at_site           ? " at site"
                                   : " elsewhere");
    }
    outcomes += std::string(outcome) + "\n";
    expected += std::string(one.outcome) + "\n";
  }
  EXPECT_EQ(outcomes, expected);
  EXPECT_TRUE(g_destroyed && g_caught_in_frame && g_bad_read && g_length == 0);
  auto other =
      std::async(std::launch::async, [] { std::lock_guard<FaultReleasedMutex> lock(g_leaf_lock); });
  EXPECT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  FaultPointers pointers;
  EXPECT_THROW(RunGuarded([](void*) { throw std::runtime_error("no fault"); }, nullptr, &pointers),
               std::runtime_error);
}

// The saved context is the thread's at the fault: its CONTEXT record, the registers in the
// saved order, xmm7 in the FXSAVE area, the stack above the stack pointer; and the captured
// context of a thread that did not fault.
TEST(FaultSignalsWin32Test, SavesTheNativeContext) {
  ThreadFaultGuard guard;
  FaultPointers pointers;
  ASSERT_FALSE(RunGuarded([](void*) { FaultWithMarkedXmm7(); }, nullptr, &pointers));
  const FaultContext& saved = *pointers.context;
  CONTEXT native;
  memcpy(&native, saved.native_context, sizeof native);
  const uint64_t* g = saved.general_registers;
  uint64_t xmm7 = 0;
  memcpy(&xmm7, saved.fp_state + 160 + 7 * 16, sizeof xmm7);
  EXPECT_EQ(native.Rip, pointers.record->address);
  EXPECT_EQ(g[saved_register::kRip], native.Rip);
  EXPECT_EQ(g[saved_register::kRax], forgeval::testing::kXmm7Marker);
  EXPECT_EQ(g[saved_register::kRsp], native.Rsp);
  EXPECT_EQ(xmm7, forgeval::testing::kXmm7Marker);
  EXPECT_TRUE(saved.has_fp_state);
  EXPECT_EQ(saved.thread_id, static_cast<int>(GetCurrentThreadId()));
  EXPECT_TRUE(saved.stack_address == native.Rsp && saved.stack_size > 1024);
  // FaultWithMarkedXmm7 is a leaf: on top of the stack lies the return address of the call
  // to it (a call rel32, five bytes).
  uint64_t return_address = 0;
  memcpy(&return_address, saved.stack, sizeof return_address);
  const auto* after_call = reinterpret_cast<const uint8_t*>(return_address);
  int32_t offset = 0;
  memcpy(&offset, after_call - 4, sizeof offset);
  EXPECT_EQ(after_call[-5], 0xe8);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(after_call + offset),
            reinterpret_cast<uintptr_t>(&FaultWithMarkedXmm7));

  FaultRecord record;
  auto captured = std::make_unique<FaultContext>();
  CaptureCurrentContext(&record, captured.get());
  memcpy(&native, captured->native_context, sizeof native);
  EXPECT_EQ(record.code, fault_code::kBreakpoint);
  EXPECT_TRUE(record.address == native.Rip && native.Rip != 0);
  EXPECT_EQ(captured->general_registers[saved_register::kRsp], native.Rsp);
  EXPECT_GT(captured->stack_size, 0u);
}

}  // namespace
}  // namespace forgeval::platform
