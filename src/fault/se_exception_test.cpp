#include "fault/se_exception.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "faults.h"

namespace forgeval {
namespace {

using platform::FaultPointers;
using platform::FaultRecord;
namespace code = platform::fault_code;

std::string Message(uint32_t fault_code, uint64_t address) {
  static FaultRecord record;
  record.address = address;
  CSeException exception(fault_code, FaultPointers{&record, nullptr});
  std::string text = "previous content";
  exception.GetErrorMessage(text);
  return text;
}

TEST(SeExceptionMessageTest, NamesCodesAndLow32BitsOfTheAddress) {
  EXPECT_EQ(Message(code::kAccessViolation, 0x401000),
            "Exception ACCESS_VIOLATION (0xc0000005) at address 0x00401000.");
  EXPECT_EQ(Message(code::kIntDivideByZero, 0x7f12'3456'789a),
            "Exception INT_DIVIDE_BY_ZERO (0xc0000094) at address 0x3456789a.");
  EXPECT_EQ(Message(code::kStackOverflow, 0x1),
            "Exception STACK_OVERFLOW (0xc00000fd) at address 0x00000001.");
  EXPECT_EQ(Message(0x80000002, 0),
            "Exception DATATYPE_MISALIGNMENT (0x80000002) at address 0x00000000.");
  EXPECT_EQ(Message(0xE06D7363, 0x401000), "Unknown exception.");
  EXPECT_STREQ(FaultName(code::kFltInvalidOperation), "FLT_INVALID_OPERATION");
  EXPECT_EQ(FaultName(code::kFloatMultipleFaults), nullptr);
}

TEST(SeExceptionMessageTest, BufferFormFitsOrLeavesAnEmptyText) {
  FaultRecord record;
  record.address = 0x401000;
  CSeException named(code::kAccessViolation, FaultPointers{&record, nullptr});
  const std::string message = "Exception ACCESS_VIOLATION (0xc0000005) at address 0x00401000.";
  std::vector<char> buffer(message.size() + 8, 'x');
  unsigned help = 99;
  EXPECT_FALSE(named.GetErrorMessage(buffer.data(), static_cast<unsigned>(message.size()), &help));
  EXPECT_STREQ(buffer.data(), "");
  EXPECT_EQ(help, 0u);
  EXPECT_TRUE(named.GetErrorMessage(buffer.data(), static_cast<unsigned>(message.size() + 1)));
  EXPECT_EQ(std::string(buffer.data()), message);

  CSeException unnamed(0x12345678, FaultPointers{&record, nullptr});
  std::string text;
  EXPECT_FALSE(unnamed.GetErrorMessage(text));
  char small[19];
  EXPECT_TRUE(unnamed.GetErrorMessage(small, 19));  // 18 characters and the terminator
  EXPECT_STREQ(small, "Unknown exception.");
  EXPECT_FALSE(unnamed.GetErrorMessage(small, 18));
  EXPECT_STREQ(small, "");
}

// Runs `fault` in this thread under translation and returns the caught object's record.
template <typename Fault>
CSeException* Catch(Fault fault) {
  try {
    RunTranslated(fault);
  } catch (CSeException* exception) {
    return exception;
  }
  return nullptr;
}

TEST(SeTranslatorTest, RealFaultsArriveAsCaughtExceptions) {
  SeTranslatorScope translator;
  struct Case {
    void (*fault)();
    uint32_t code;
    const char* site;
  };
  const Case cases[] = {
      {&FaultNullRead, code::kAccessViolation, FaultNullReadSite},
      {&FaultDivideByZero, code::kIntDivideByZero, FaultDivideByZeroSite},
      {&FaultIllegalInstruction, code::kIllegalInstruction, FaultIllegalInstructionSite},
  };
  for (const Case& c : cases) {
    auto run = [&c] { c.fault(); };
    CSeException* exception = Catch(run);
    ASSERT_NE(exception, nullptr) << FaultName(c.code);
    EXPECT_EQ(exception->code(), c.code);
    EXPECT_TRUE(exception->IsKindOf(&CException::classCException));
    const FaultRecord& record = *exception->pointers().record;
    EXPECT_EQ(record.address, reinterpret_cast<uintptr_t>(c.site));
    std::string text;
    ASSERT_TRUE(exception->GetErrorMessage(text));
    char expected[128];
    snprintf(expected, sizeof expected, "Exception %s (0x%.8x) at address 0x%.8x.",
             FaultName(c.code), c.code, testing::Low32(c.site));
    EXPECT_EQ(text, expected);
    exception->Delete();
  }
}

TEST(SeTranslatorTest, AccessViolationRecordsReadOrWriteAndTheAddress) {
  SeTranslatorScope translator;
  auto read = [] { FaultNullRead(); };
  CSeException* exception = Catch(read);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->pointers().record->parameter_count, 2u);
  EXPECT_EQ(exception->pointers().record->parameters[0], 0u);
  EXPECT_EQ(exception->pointers().record->parameters[1], 0u);
  exception->Delete();

  void* page = testing::ReadOnlyPage();
  auto write = [page] { FaultWrite(page); };
  exception = Catch(write);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->code(), code::kAccessViolation);
  EXPECT_EQ(exception->pointers().record->parameters[0], 1u);
  EXPECT_EQ(exception->pointers().record->parameters[1], reinterpret_cast<uintptr_t>(page));
  EXPECT_EQ(exception->pointers().record->address, reinterpret_cast<uintptr_t>(FaultWriteSite));
  exception->Delete();
}

TEST(SeTranslatorTest, ContextIsSavedAtTheMomentOfTheFault) {
  SeTranslatorScope translator;
  auto run = [] { FaultWithMarkedXmm7(); };
  CSeException* exception = Catch(run);
  ASSERT_NE(exception, nullptr);
  const platform::FaultContext& context = *exception->pointers().context;
  EXPECT_EQ(context.general_registers[REG_RIP], exception->pointers().record->address);
  ASSERT_TRUE(context.has_fp_state);
  uint64_t xmm7 = 0;
  memcpy(&xmm7, context.fp_state + 160 + 7 * 16, sizeof xmm7);  // FXSAVE layout
  EXPECT_EQ(xmm7, testing::kXmm7Marker);
  // The saved stack starts at the stack pointer of the fault and holds real bytes.
  EXPECT_EQ(context.stack_address, context.general_registers[REG_RSP]);
  EXPECT_GT(context.stack_size, 1024u);
  EXPECT_EQ(context.thread_id, gettid());
  exception->Delete();
}

TEST(SeTranslatorTest, StackOverflowIsReportedAsSuch) {
  SeTranslatorScope translator;
  auto run = [] { testing::OverflowStack(); };
  CSeException* exception = Catch(run);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->code(), code::kStackOverflow);
  exception->Delete();
  // The thread goes on normally, and its next fault is caught as well.
  auto again = [] { FaultNullRead(); };
  exception = Catch(again);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->code(), code::kAccessViolation);
  exception->Delete();
}

TEST(SeTranslatorTest, ManyFaultsInSeveralThreadsAreAllCaught) {
  constexpr int kThreads = 4;
  constexpr int kFaultsEach = 2000;
  std::atomic<int> caught{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&caught] {
      SeTranslatorScope translator;
      for (int i = 0; i < kFaultsEach; ++i) {
        auto run = [i] { i % 2 ? FaultNullRead() : FaultDivideByZero(); };
        if (CSeException* exception = Catch(run)) {
          ++caught;
          exception->Delete();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(caught, kThreads * kFaultsEach);
}

TEST(SeTranslatorTest, NestedScopesHandOverAndBack) {
  SeTranslatorScope outer;
  {
    SeTranslatorScope inner;
    auto run = [] { FaultNullRead(); };
    CSeException* exception = Catch(run);
    ASSERT_NE(exception, nullptr);
    exception->Delete();
  }
  auto run = [] { FaultDivideByZero(); };
  CSeException* exception = Catch(run);
  ASSERT_NE(exception, nullptr);
  EXPECT_EQ(exception->code(), code::kIntDivideByZero);
  exception->Delete();
}

TEST(SeTranslatorTest, OrdinaryExceptionsPassThrough) {
  SeTranslatorScope translator;
  auto run = [] { throw std::runtime_error("not a fault"); };
  EXPECT_THROW(RunTranslated(run), std::runtime_error);
  auto fault = [] { FaultNullRead(); };
  CSeException* exception = Catch(fault);
  ASSERT_NE(exception, nullptr);
  exception->Delete();
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The action in place before the translator is the sanitizer's report, which ends the process
// with an exit code instead of the signal.
bool DiedOfTheFault(int status) {
  return WIFEXITED(status) && (WEXITSTATUS(status) == 1 || WEXITSTATUS(status) == 66);
}
const char* const kFaultReport = "SEGV";
#else
bool DiedOfTheFault(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV; }
const char* const kFaultReport = "";
#endif

constexpr int kTranslated = 42;
constexpr int kIgnored = 43;

using SeTranslatorDeathTest = ::testing::Test;

TEST_F(SeTranslatorDeathTest, AThreadWithoutTranslationGetsTheDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SeTranslatorScope translator;  // handlers installed, but not for the other thread
        std::thread([] { FaultNullRead(); }).join();
        _exit(kIgnored);
      },
      DiedOfTheFault, kFaultReport);
}

TEST_F(SeTranslatorDeathTest, ASentSignalIsNotAProcessorFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SeTranslatorScope translator;
        auto run = [] { raise(SIGSEGV); };
        try {
          RunTranslated(run);
        } catch (CSeException*) {
          _exit(kTranslated);
        }
        _exit(kIgnored);
      },
      DiedOfTheFault, kFaultReport);
}

}  // namespace
}  // namespace forgeval
