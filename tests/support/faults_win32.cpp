#include <windows.h>

#include "faults.h"

// Written in assembly so that no optimiser can remove or move the faulting instruction. Leaf
// functions without unwind information: the unwinder finds their return address at the stack
// pointer.
asm(R"(
    .text
    .globl FaultNullRead, FaultNullReadSite
    .def FaultNullRead; .scl 2; .type 32; .endef
FaultNullRead:
    xorl %eax, %eax
FaultNullReadSite:
    movl (%rax), %eax
    ret

    .globl FaultWrite, FaultWriteSite
    .def FaultWrite; .scl 2; .type 32; .endef
FaultWrite:
FaultWriteSite:
    movl $1, (%rcx)
    ret

    .globl FaultDivideByZero, FaultDivideByZeroSite
    .def FaultDivideByZero; .scl 2; .type 32; .endef
FaultDivideByZero:
    xorl %ecx, %ecx
    movl $1, %eax
    cltd
FaultDivideByZeroSite:
    idivl %ecx
    ret

    .globl FaultIllegalInstruction, FaultIllegalInstructionSite
    .def FaultIllegalInstruction; .scl 2; .type 32; .endef
FaultIllegalInstruction:
FaultIllegalInstructionSite:
    ud2
    ret

    .globl FaultWithMarkedXmm7
    .def FaultWithMarkedXmm7; .scl 2; .type 32; .endef
FaultWithMarkedXmm7:
    movabsq $0x1122334455667788, %rax
    movq %rax, %xmm7
    ud2
    ret
)");

namespace forgeval::testing {

void* ReadOnlyPage() {
  static void* page = [] {
    void* mapped = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD previous = 0;
    VirtualProtect(mapped, 4096, PAGE_READONLY, &previous);
    return mapped;
  }();
  return page;
}

}  // namespace forgeval::testing
