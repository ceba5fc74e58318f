// Real faults with their texts are checked through the worker frame, the saved context through
// the core dump, read or write and the address touched through the crash report.
#include "fault/se_exception.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>

#include <functional>
#include <thread>
#include <tuple>

#include "faults.h"

namespace forgeval {
namespace {

namespace code = platform::fault_code;

// Name, code and the low 32 bits of the address; the buffer form needs room for the terminator.
TEST(SeExceptionTest, DescribesTheFaultInOneLine) {
  const std::tuple<uint32_t, uint64_t, std::string> cases[] = {
      {code::kAccessViolation, 0x401000,
       "Exception ACCESS_VIOLATION (0xc0000005) at address 0x00401000."},
      {code::kIntDivideByZero, 0x7f12'3456'789a,
       "Exception INT_DIVIDE_BY_ZERO (0xc0000094) at address 0x3456789a."},
      {0x80000002, 0, "Exception DATATYPE_MISALIGNMENT (0x80000002) at address 0x00000000."},
      {code::kFloatMultipleFaults, 0x401000, "Unknown exception."}};
  for (const auto& [fault, address, text] : cases) {
    platform::FaultRecord record;
    record.address = address;
    const CSeException exception(fault, {&record, nullptr});
    std::string message = "previous content";
    EXPECT_EQ(exception.GetErrorMessage(message), text[0] == 'E');
    char buffer[80];
    unsigned help = 99, size = static_cast<unsigned>(text.size());
    EXPECT_TRUE(exception.GetErrorMessage(buffer, size + 1, &help));
    EXPECT_EQ(message + "|" + buffer + "|" + std::to_string(help), text + "|" + text + "|0");
    EXPECT_FALSE(exception.GetErrorMessage(buffer, size));
    EXPECT_STREQ(buffer, "");
  }
}

// The code of the fault `body` raised under translation, checked to be the object it must be
// and to have its context; 0 when nothing was raised.
uint32_t CaughtCode(std::function<void()> body) {
  try {
    RunTranslated(body);
  } catch (CSeException* exception) {
    const platform::FaultPointers& saved = exception->pointers();
    const CRuntimeClass other{"Other", 0, 0xFFFF, nullptr, nullptr};
    EXPECT_TRUE(exception->IsKindOf(&CObject::classCObject) && !exception->IsKindOf(&other));
    EXPECT_EQ(saved.context->general_registers[REG_RIP], saved.record->address);
    const uint32_t caught = exception->code();
    exception->Delete();
    return caught;
  }
  return 0;
}

// An inner scope hands translation back to the outer one, C++ exceptions pass through, a
// thread goes on faulting after a stack overflow, and each of several threads gets its own
// faults (ThreadSanitizer watches the fault storage).
TEST(SeTranslatorTest, NestedScopesAndFaultsInSeveralThreads) {
  SeTranslatorScope outer;
  {
    SeTranslatorScope inner;
    EXPECT_EQ(CaughtCode(testing::OverflowStack), code::kStackOverflow);
  }
  EXPECT_THROW(CaughtCode([] { throw std::runtime_error("not a fault"); }), std::runtime_error);
  EXPECT_EQ(CaughtCode(FaultIllegalInstruction), code::kIllegalInstruction);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      SeTranslatorScope translator;
      for (int i = 0; i < 2000; ++i)
        EXPECT_EQ(CaughtCode(i % 2 ? FaultNullRead : FaultDivideByZero),
                  i % 2 ? code::kAccessViolation : code::kIntDivideByZero);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizer's report takes the signal and exits
#else
constexpr bool kSanitized = false;
#endif

// A SIGSEGV sent rather than raised by the processor gets the default action. (A fault in a
// thread without translation is checked end to end.)
TEST(SeTranslatorDeathTest, ASentSignalIsNoProcessorFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto died = [](int s) {
    return kSanitized ? WIFEXITED(s) && (WEXITSTATUS(s) == 1 || WEXITSTATUS(s) == 66)
                      : WIFSIGNALED(s) && WTERMSIG(s) == SIGSEGV;
  };
  SeTranslatorScope translator;
  EXPECT_EXIT(_exit(CaughtCode([] { kill(getpid(), SIGSEGV); }) == 0 ? 43 : 42), died,
              kSanitized ? "SEGV" : "");
}

}  // namespace
}  // namespace forgeval
