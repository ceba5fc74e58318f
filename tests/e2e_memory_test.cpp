// End-to-end runs of the memory and cache tests in the real binary: a complete pass with the
// exact console lines, a MemSize far beyond the machine, which must end in the allocation
// error and the verdict, never in the kernel killing the process, and an interrupt mid-check.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "program_fixture.h"

namespace forgeval::testing {
namespace {

const std::string kOthersDisabled =
    "[FFT]\nEnabled=0\n[SortAlgorithms]\nEnabled=0\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n";

using MemoryEndToEndTest = ProgramTest;

TEST_F(MemoryEndToEndTest, MemoryAndCacheTestsPassWithTheirExactLines) {
  ProcessResult result =
      Run("[Main]\nLoop=1\n[Memory]\nCPU=0\nMemSize=8\n[Cache]\nCPU=0\n" + kOthersDisabled);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, kBanner +
                               "--- Loop 1 of 1 ---\n"
                               "Thread 0 : Allocating 8MB Memory for testing...\n"
                               "Thread 0 : Testing Memory Address & Data bus...\n"
                               "Thread 0 : Testing Memory Address & Data bus...[Done]\n"
                               "Thread 0 : Testing DRAM Arrays...\n"
                               "Thread 0 : Testing DRAM Arrays...[Done]\n"
                               "Thread 0 : De-allocating 8MB Memory...\n"
                               "Thread 0 : De-allocating 8MB Memory...[Done]\n"
                               "Thread 0 : Testing L1 Cache...\n"
                               "Thread 0 : Testing L1 Cache...[Done]\n"
                               "Thread 0 : Testing L2 Cache...\n"
                               "Thread 0 : Testing L2 Cache...[Done]\n"
                               "\nAll tests passed successfully.\n");
}

TEST_F(MemoryEndToEndTest, AMemSizeBeyondTheMachineIsAnErrorNotAKill) {
  // Two workers asking for about 2 PB each, and a cache test after them that still runs.
  ProcessResult result = Run(
      "[Main]\nLoop=1\n[Memory]\nCPU=0,1\nMemSize=2000000000\n[Cache]\nCPU=0\n" + kOthersDisabled);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, 1) << result.output;
  for (const char* worker : {"0", "1"}) {
    const std::string thread = std::string("Thread ") + worker;
    EXPECT_NE(result.output.find(thread + " : Allocating 2000000000MB Memory for testing...\n"),
              std::string::npos);
    EXPECT_NE(result.output.find("[***ERROR: " + thread +
                                 " : Allocating Memory at 0000000000000000 ***]\n"),
              std::string::npos)
        << result.output;
  }
  EXPECT_EQ(result.output.find("Testing DRAM Arrays"), std::string::npos);
  EXPECT_NE(result.output.find("Thread 0 : Testing L2 Cache...[Done]\n"), std::string::npos);
  EXPECT_TRUE(result.output.ends_with("\nError: Some of the tests failed.\n")) << result.output;
  const std::string log = ReadFile(dir_.File("forgeval.Log"));
  EXPECT_NE(log.find(" : [***ERROR: Thread 1 : Allocating Memory at 0000000000000000 ***]\n"),
            std::string::npos);
  EXPECT_NE(log.find(" : Error: Some of the tests failed.\n"), std::string::npos);
}

TEST_F(MemoryEndToEndTest, AnInterruptStopsTheDramArrayCheckBetweenFillValues) {
  // 200 blocks: the DRAM array check alone takes seconds.
  auto running = Start("[Memory]\nCPU=0\nMemSize=800\n" + kOthersDisabled);
  ASSERT_TRUE(
      WaitFor([&] { return Log().find("Testing DRAM Arrays...\n") != std::string::npos; }, 60))
      << Log();
  const auto signalled = std::chrono::steady_clock::now();
  running->Signal(SIGTERM);
  const ProcessResult result = running->Wait();
  EXPECT_EQ(result.exit_code, 143);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(2));
  EXPECT_NE(result.output.find("Run interrupted (SIGTERM)."), std::string::npos);
  EXPECT_EQ(result.output.find("Testing DRAM Arrays...[Done]"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace forgeval::testing
