// End-to-end runs of the program with test-only worker bodies that fault or fail on purpose:
// the error path as the operator meets it, on the console, in the log and in the system log,
// with and without a terminal to acknowledge errors on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "probe_fixture.h"
#include "text_match.h"

namespace forgeval::testing {
namespace {

const std::string kAccessViolation =
    R"(Exception ACCESS_VIOLATION \(0xc0000005\) at address 0x[0-9a-f]{8}\.)";

class FaultEndToEndTest : public FaultProbeTest {};

TEST_F(FaultEndToEndTest, FaultingWorkersAreReportedAndTheRunGoesOn) {
  ProcessResult result =
      Run("[Main]\nLoop=2\n[NullRead]\nCPU=0,1\n[Pass]\nCPU=0\n", {"NullRead", "Pass"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(CountMatches(result.output, kAccessViolation + "\n"), 4u) << result.output;
  EXPECT_EQ(CountMatches(result.output, "Thread 0 : Passing...\\[Done\\]\n"), 2u);
  EXPECT_TRUE(result.output.ends_with("\nError: Some of the tests failed.\n"));
  EXPECT_EQ(result.output.find("Press Enter"), std::string::npos);  // no terminal: no wait
  const std::string log = Log();
  EXPECT_EQ(CountMatches(log, " : " + kAccessViolation + "\n"), 4u) << log;
  EXPECT_NE(log.find(" : Error: Some of the tests failed.\n\nClosed at:\t"), std::string::npos);
  std::vector<std::string> datagrams = listener_.Drain(1000);
  ASSERT_EQ(datagrams.size(), 4u);
  for (const std::string& datagram : datagrams) {
    EXPECT_TRUE(
        testing::FullMatch(datagram, "<11>.* Forgeval\\[\\d+\\]: " + kAccessViolation + "\n"))
        << datagram;
  }
}

TEST_F(FaultEndToEndTest, StackOverflowIsReportedAndTheRunGoesOn) {
  ProcessResult result = Run("[StackOverflow]\nCPU=1\n[Pass]\nCPU=0\n", {"StackOverflow", "Pass"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(testing::Contains(
      result.output, R"(\nException STACK_OVERFLOW \(0xc00000fd\) at address 0x[0-9a-f]{8}\.\n)"))
      << result.output;
  EXPECT_NE(result.output.find("Thread 0 : Passing...[Done]\n"), std::string::npos);
}

TEST_F(FaultEndToEndTest, FaultInTheDriverEndsTheRunWithoutFooter) {
  ProcessResult result = Run("[Main]\nLoop=1\n", {"DriverFault"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_TRUE(testing::Contains(result.output, "\n" + kAccessViolation + "\n$")) << result.output;
  EXPECT_EQ(result.output.find("tests failed"), std::string::npos);
  const std::string log = Log();
  EXPECT_TRUE(testing::Contains(log, " : " + kAccessViolation + "\n$")) << log;
  EXPECT_EQ(log.find("Closed at:"), std::string::npos);
  EXPECT_EQ(listener_.Drain(1000).size(), 1u);
}

// The probe on a pseudo-terminal, as an operator at a console would run it.
class TerminalSession {
 public:
  TerminalSession(const std::vector<std::string>& argv, const std::string& folder,
                  const std::string& syslog_socket) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (chdir(folder.c_str()) != 0) _exit(126);
      setenv("FORGEVAL_SYSLOG_SOCKET", syslog_socket.c_str(), 1);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~TerminalSession() {
    if (!exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }
  // Reads until `wanted` occurs `times` times in all that was read, or `seconds` pass.
  bool ReadUntil(const std::string& wanted, size_t times, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (Occurrences(wanted) < times) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) break;
    }
    return Occurrences(wanted) >= times;
  }
  void Settle(int milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline) ReadSome(10);
  }
  void PressEnter() { ASSERT_EQ(write(master_, "\r", 1), 1); }
  // Ctrl+C at the terminal: SIGINT to the program, as the terminal sends it.
  void PressCtrlC() { ASSERT_EQ(write(master_, "\x03", 1), 1); }
  void Signal(int signal_number) { kill(pid_, signal_number); }
  int TermSignal() {
    ExitCode();
    return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
  }
  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    exited_ = true;
    status_ = status;
    return false;
  }
  int ExitCode() {
    if (!exited_) {
      ReadUntil("\x01never", 1, 10);  // drain until the program closes the terminal
      waitpid(pid_, &status_, 0);
      exited_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  size_t Occurrences(const std::string& wanted) const {
    size_t count = 0;
    for (size_t at = screen_.find(wanted); at != std::string::npos;
         at = screen_.find(wanted, at + 1))
      ++count;
    return count;
  }
  const std::string& screen() const { return screen_; }

 private:
  bool ReadSome(int timeout_ms) {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return true;
    char buffer[4096];
    ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;  // the program has closed the terminal
    screen_.append(buffer, static_cast<size_t>(got));
    return true;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  std::string screen_;
};

TEST_F(FaultEndToEndTest, AcknowledgementWaitsOnATerminalOnePromptAtATime) {
  WriteFile(dir_.File("probe.ini"), "[Main]\nLoop=1\n[FailedCheck]\nCPU=0,1\n");
  TerminalSession session({program_, dir_.File("probe.ini"), "FailedCheck"}, dir_.path(),
                          listener_.path());
  const std::string prompt = "Press Enter to continue";
  ASSERT_TRUE(session.ReadUntil(prompt, 1, 10)) << session.screen();
  session.Settle(500);
  // Both workers have failed, but only one prompt is open, and the run waits for it.
  EXPECT_EQ(session.Occurrences(prompt), 1u);
  // Both console lines, and the frame of the first prompt only.
  EXPECT_EQ(session.Occurrences("planted failure ***]"), 3u) << session.screen();
  EXPECT_TRUE(session.Running());
  EXPECT_EQ(session.Occurrences("tests failed"), 0u);

  session.PressEnter();
  ASSERT_TRUE(session.ReadUntil(prompt, 2, 10)) << session.screen();
  session.Settle(300);
  EXPECT_TRUE(session.Running());
  EXPECT_EQ(session.Occurrences("tests failed"), 0u);

  session.PressEnter();
  EXPECT_EQ(session.ExitCode(), 1);
  EXPECT_EQ(session.Occurrences("Error: Some of the tests failed."), 1u) << session.screen();
}

class InterruptEndToEndTest : public FaultEndToEndTest {
 protected:
  std::unique_ptr<TerminalSession> Start(const std::string& ini,
                                         const std::vector<std::string>& bodies) {
    WriteFile(dir_.File("probe.ini"), ini);
    std::vector<std::string> argv{program_, dir_.File("probe.ini")};
    argv.insert(argv.end(), bodies.begin(), bodies.end());
    return std::make_unique<TerminalSession>(argv, dir_.path(), listener_.path());
  }
};

TEST_F(InterruptEndToEndTest, LiveStatusOnATerminalOnly) {
  const std::string ini = "[Main]\nLoop=1\n[Slow]\nCPU=0\n";
  auto session = Start(ini, {"Slow"});
  EXPECT_EQ(session->ExitCode(), 0);
  const std::string& screen = session->screen();
  EXPECT_NE(screen.find("\r\033[K[Loop 1 of 1 | Slow | T0  50% | 00:00:00]"), std::string::npos)
      << screen;
  // Erased before the verdict, and the regular lines are whole.
  EXPECT_NE(screen.find("\r\033[K\r\nAll tests passed successfully.\r\n"), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("Thread 0 : Working...[Done]\r\n"), std::string::npos);
  EXPECT_EQ(Log().find("\033"), std::string::npos) << "never in the log";

  // The same run into a pipe: not a trace of it.
  ProcessResult piped = Run(ini, {"Slow"});
  EXPECT_EQ(piped.output.find('\033'), std::string::npos);
  EXPECT_TRUE(
      piped.output.ends_with("Thread 0 : Working...\nThread 0 : Working...[Done]\n\n"
                             "All tests passed successfully.\n"))
      << piped.output;
}

TEST_F(InterruptEndToEndTest, CtrlCStopsTheWorkersAndClosesTheLog) {
  auto session = Start("[Main]\nLoop=2\n[Spin]\nCPU=0,1\n[Pass]\nCPU=0\n", {"Spin", "Pass"});
  ASSERT_TRUE(session->ReadUntil("Spinning...", 2, 10)) << session->screen();
  session->PressCtrlC();
  EXPECT_EQ(session->ExitCode(), 130);
  EXPECT_EQ(session->Occurrences("\r\nRun interrupted (SIGINT).\r\n"), 1u) << session->screen();
  EXPECT_EQ(session->Occurrences("Passing"), 0u);
  EXPECT_EQ(session->Occurrences("Loop 2"), 0u);
  EXPECT_EQ(session->Occurrences("successfully"), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find(" : Run interrupted (SIGINT).\n\nClosed at:\t"), std::string::npos) << log;
  EXPECT_TRUE(listener_.Drain(0).empty());
}

TEST_F(InterruptEndToEndTest, SigtermStopsTheRunWithStatus143) {
  auto session = Start("[Spin]\nCPU=0\n", {"Spin"});
  ASSERT_TRUE(session->ReadUntil("Spinning...", 1, 10)) << session->screen();
  session->Signal(SIGTERM);
  EXPECT_EQ(session->ExitCode(), 143);
  EXPECT_NE(Log().find(" : Run interrupted (SIGTERM).\n"), std::string::npos);
}

TEST_F(InterruptEndToEndTest, ASecondCtrlCEndsTheProcessAtOnce) {
  auto session = Start("[Deaf]\nCPU=0\n", {"Deaf"});
  ASSERT_TRUE(session->ReadUntil("Loop 1 of 1", 1, 10)) << session->screen();
  session->PressCtrlC();
  session->Settle(300);
  EXPECT_TRUE(session->Running()) << "a worker that does not look keeps the run alive";
  session->PressCtrlC();
  EXPECT_EQ(session->TermSignal(), SIGINT);
}

// The real program's sort, matrix and transform workers stop within seconds of Ctrl+C, in the
// middle of their arithmetic.
TEST_F(InterruptEndToEndTest, CtrlCStopsTheComputeTestsWithinSeconds) {
  const std::string program = dir_.File("forgeval");
  std::filesystem::copy_file(FORGEVAL_BINARY, program);
  const std::string others_off = "[Memory]\nEnabled=0\n[Cache]\nEnabled=0\n[Disk]\nEnabled=0\n";
  struct Case {
    const char* sections;
    const char* step;
  };
  const Case cases[] = {
      {"[FFT]\nCPU=0,1\n[SortAlgorithms]\nEnabled=0\n[Matrix]\nEnabled=0\n",
       "Starting Fast Fourier Transform test..."},
      {"[FFT]\nEnabled=0\n[SortAlgorithms]\nCPU=0,1\nArraySize=20000000\n[Matrix]\nEnabled=0\n",
       "Starting Quick Sort test..."},
      {"[FFT]\nEnabled=0\n[SortAlgorithms]\nEnabled=0\n[Matrix]\nCPU=0,1\n",
       "Starting Complex Matrix test..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    WriteFile(dir_.File("run.ini"), "[Main]\nLoop=1\n" + others_off + c.sections);
    TerminalSession session({program, dir_.File("run.ini")}, dir_.path(), listener_.path());
    ASSERT_TRUE(session.ReadUntil(c.step, 2, 30)) << session.screen();
    session.Settle(1500);  // well into the arithmetic
    const auto pressed = std::chrono::steady_clock::now();
    session.PressCtrlC();
    EXPECT_EQ(session.ExitCode(), 130) << session.screen();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
    EXPECT_EQ(session.Occurrences("Run interrupted (SIGINT)."), 1u) << session.screen();
  }
}

}  // namespace
}  // namespace forgeval::testing
