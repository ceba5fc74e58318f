#include "faults.h"

#include <sys/mman.h>

// Written in assembly so that no optimiser can remove or move the faulting instruction.
asm(R"(
    .text
    .globl FaultNullRead, FaultNullReadSite
    .type FaultNullRead, @function
FaultNullRead:
    xorl %eax, %eax
FaultNullReadSite:
    movl (%rax), %eax
    ret
    .size FaultNullRead, .-FaultNullRead

    .globl FaultWrite, FaultWriteSite
    .type FaultWrite, @function
FaultWrite:
FaultWriteSite:
    movl $1, (%rdi)
    ret
    .size FaultWrite, .-FaultWrite

    .globl FaultDivideByZero, FaultDivideByZeroSite
    .type FaultDivideByZero, @function
FaultDivideByZero:
    xorl %ecx, %ecx
    movl $1, %eax
    cltd
FaultDivideByZeroSite:
    idivl %ecx
    ret
    .size FaultDivideByZero, .-FaultDivideByZero

    .globl FaultIllegalInstruction, FaultIllegalInstructionSite
    .type FaultIllegalInstruction, @function
FaultIllegalInstruction:
FaultIllegalInstructionSite:
    ud2
    ret
    .size FaultIllegalInstruction, .-FaultIllegalInstruction

    .globl FaultWithMarkedXmm7
    .type FaultWithMarkedXmm7, @function
FaultWithMarkedXmm7:
    movabsq $0x1122334455667788, %rax
    movq %rax, %xmm7
    ud2
    ret
    .size FaultWithMarkedXmm7, .-FaultWithMarkedXmm7
)");

namespace forgeval::testing {

void* ReadOnlyPage() {
  static void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return page;
}

}  // namespace forgeval::testing
