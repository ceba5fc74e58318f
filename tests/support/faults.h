// Real processor faults on demand, for the tests of fault translation. Each Fault* function
// faults at the instruction labelled by the matching *Site symbol, so a test can check the
// reported address exactly.
#ifndef FORGEVAL_TESTS_SUPPORT_FAULTS_H_
#define FORGEVAL_TESTS_SUPPORT_FAULTS_H_

#include <cstdint>

extern "C" {
void FaultNullRead();
void FaultWrite(void* address);
void FaultDivideByZero();
void FaultIllegalInstruction();
// Loads 0x1122334455667788 into the low half of xmm7, then executes ud2.
void FaultWithMarkedXmm7();

extern char FaultNullReadSite[];
extern char FaultWriteSite[];
extern char FaultDivideByZeroSite[];
extern char FaultIllegalInstructionSite[];
}

namespace forgeval::testing {

inline constexpr uint64_t kXmm7Marker = 0x1122334455667788ULL;

// Recurses until the stack is exhausted.
void OverflowStack();

// An address inside a page that may be read but not written; the page stays mapped.
void* ReadOnlyPage();

// The low 32 bits of an address as the fault messages print them: "0x%.8x".
uint32_t Low32(const void* address);

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_FAULTS_H_
