// End-to-end runs of the memory and cache tests in the real binary: a complete pass with the
// exact console lines, and a MemSize far beyond the machine, which must end in the allocation
// error and the verdict, never in the kernel killing the process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "run_process.h"
#include "temp_dir.h"

namespace forgeval::testing {
namespace {

const std::string kOthersDisabled =
    "[FFT]\nEnabled=0\n[SortAlgorithms]\nEnabled=0\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n";
const std::string kBanner = "Forgeval 1.3\n" + std::string(66, '-') + "\n";

class MemoryEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(FORGEVAL_BINARY, program_); }
  ProcessResult Run(const std::string& ini) {
    WriteFile(dir_.File("forgeval.ini"), ini);
    ProcessOptions options;
    options.working_dir = dir_.path();
    options.environment.emplace_back("FORGEVAL_SYSLOG_SOCKET", dir_.File("no-listener.sock"));
    return RunProcess({program_}, options);
  }

  TempDir dir_;
  std::string program_ = dir_.File("forgeval");
};

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

TEST_F(MemoryEndToEndTest, ANegativeMemSizeFailsTheRun) {
  ProcessResult result = Run("[Memory]\nCPU=0\nMemSize=-4\n[Cache]\nEnabled=0\n" + kOthersDisabled);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.output.find("[***ERROR: Thread 0 : Allocating Memory: MemSize -4 gives a "
                               "negative block count ***]\n"),
            std::string::npos)
      << result.output;
}

// The program started with its standard output on a pipe, so a test can watch its lines
// and signal it in the middle of a test.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::string& folder) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      if (chdir(folder.c_str()) != 0) _exit(126);
      setenv("FORGEVAL_SYSLOG_SOCKET", (folder + "/no-listener.sock").c_str(), 1);
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~RunningProgram() {
    if (pid_ > 0 && !ended_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // Reads until `wanted` has been printed or `seconds` pass.
  bool ReadUntil(const std::string& wanted, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output_.find(wanted) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd wait_for{out_, POLLIN, 0};
      if (poll(&wait_for, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) return false;
      output_.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }
  void Signal(int signal_number) { kill(pid_, signal_number); }
  // Waits for the end and returns the exit status, reading the rest of the output.
  int Wait() {
    ReadUntil(std::string(1, '\0'), 30);  // to the end of the output
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool ended_ = false;
  std::string output_;
};

TEST_F(MemoryEndToEndTest, AnInterruptStopsTheDramArrayCheckBetweenFillValues) {
  // 200 blocks: the DRAM array check alone takes seconds.
  WriteFile(dir_.File("forgeval.ini"), "[Memory]\nCPU=0\nMemSize=800\n" + kOthersDisabled);
  RunningProgram running(program_, dir_.path());
  ASSERT_TRUE(running.ReadUntil("Thread 0 : Testing DRAM Arrays...\n", 60)) << running.output();
  const auto signalled = std::chrono::steady_clock::now();
  running.Signal(SIGTERM);
  EXPECT_EQ(running.Wait(), 143);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(2));
  EXPECT_NE(running.output().find("Run interrupted (SIGTERM)."), std::string::npos);
  EXPECT_EQ(running.output().find("Testing DRAM Arrays...[Done]"), std::string::npos)
      << running.output();
}

}  // namespace
}  // namespace forgeval::testing
