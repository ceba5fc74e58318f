// Real faults at labelled instructions, on every platform; the saved context is checked
// through the core dump, read or write and the address touched through the crash report.
#include "fault/se_exception.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// What `body` raised under translation: the description, and for an access violation read or
// write and the address touched; "" when nothing was raised. Checks that the object is the one
// it must be and that its context is the fault's.
std::string Caught(std::function<void()> body) {
  try {
    RunTranslated(body);
  } catch (CSeException* exception) {
    const platform::FaultPointers& saved = exception->pointers();
    const CRuntimeClass other{"Other", 0, 0xFFFF, nullptr, nullptr};
    EXPECT_TRUE(exception->IsKindOf(&CObject::classCObject) && !exception->IsKindOf(&other));
    EXPECT_EQ(saved.context->general_registers[platform::saved_register::kRip],
              saved.record->address);
    std::string text;
    exception->GetErrorMessage(text);
    if (exception->code() == code::kAccessViolation) {
      char access[48];
      snprintf(access, sizeof access, " %s 0x%llx", saved.record->parameters[0] ? "write" : "read",
               static_cast<unsigned long long>(saved.record->parameters[1]));
      text += access;
    }
    exception->Delete();
    return text;
  }
  return "";
}

std::string At(const char* name_and_code, const void* site) {
  char text[96];
  snprintf(text, sizeof text, "Exception %s at address 0x%.8x.", name_and_code,
           testing::Low32(site));
  return text;
}

// Each fault at its labelled instruction, in two worker threads at once; a thread goes on after
// every fault, three stack overflows included.
TEST(SeTranslatorTest, FaultsAtLabelledInstructionsInTwoThreadsAtOnce) {
  char page[32];
  snprintf(page, sizeof page, " write 0x%llx",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(testing::ReadOnlyPage())));
  const std::string overflow = "Exception STACK_OVERFLOW (0xc00000fd) at address 0x";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {FaultNullRead, At("ACCESS_VIOLATION (0xc0000005)", FaultNullReadSite) + " read 0x0"},
      {[] { FaultWrite(testing::ReadOnlyPage()); },
       At("ACCESS_VIOLATION (0xc0000005)", FaultWriteSite) + page},
      {FaultDivideByZero, At("INT_DIVIDE_BY_ZERO (0xc0000094)", FaultDivideByZeroSite)},
      {FaultIllegalInstruction,
       At("ILLEGAL_INSTRUCTION (0xc000001d)", FaultIllegalInstructionSite)},
      {testing::OverflowStack, overflow},
      {testing::OverflowStack, overflow},
      {testing::OverflowStack, overflow},
      {[] {}, ""}};
  std::string results[2];
  std::vector<std::thread> workers;
  for (std::string& result : results) {
    workers.emplace_back([&cases, &result, &overflow] {
      SeTranslatorScope translator;
      for (const auto& [body, expected] : cases) {
        const std::string text = Caught(body);
        result += (expected == overflow ? text.substr(0, overflow.size()) : text) + "\n";
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::string expected;
  for (const auto& entry : cases) expected += entry.second + "\n";
  EXPECT_EQ(results[0], expected);
  EXPECT_EQ(results[1], expected);
}

// An inner scope hands translation back to the outer one, C++ exceptions pass through, and each
// of several threads gets its own faults, many of them (ThreadSanitizer watches the fault
// storage).
TEST(SeTranslatorTest, NestedScopesAndManyFaultsInSeveralThreads) {
  const std::string divide = At("INT_DIVIDE_BY_ZERO (0xc0000094)", FaultDivideByZeroSite);
  const std::string null_read =
      At("ACCESS_VIOLATION (0xc0000005)", FaultNullReadSite) + " read 0x0";
  SeTranslatorScope outer;
  {
    SeTranslatorScope inner;
    EXPECT_EQ(Caught(FaultDivideByZero), divide);
  }
  EXPECT_THROW(Caught([] { throw std::runtime_error("not a fault"); }), std::runtime_error);
  EXPECT_EQ(Caught(FaultNullRead), null_read);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      SeTranslatorScope translator;
      for (int i = 0; i < 2000; ++i)
        EXPECT_EQ(Caught(i % 2 ? FaultNullRead : FaultDivideByZero), i % 2 ? null_read : divide);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace forgeval
