// End-to-end runs of the program whose workers fault on purpose, for the crash report: the
// first fault of a run leaves ERRORLOG.TXT and CRASH.DMP beside the program, and gdb opens
// the dump at the faulting function.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "probe_fixture.h"
#include "text_match.h"

namespace forgeval::testing {
namespace {

std::vector<std::string> CrlfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  lines.push_back(text.substr(at));  // what follows the last line end (empty when complete)
  return lines;
}

size_t Occurrences(const std::string& text, const std::string& wanted) {
  size_t count = 0;
  for (size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1))
    ++count;
  return count;
}

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

class CrashReportEndToEndTest : public FaultProbeTest {
 protected:
  std::string Report() const { return ReadFile(dir_.File("ERRORLOG.TXT")); }
  std::string Dump() const { return ReadFile(dir_.File("CRASH.DMP")); }
};

// Checks one report line by line against the line formats; `at` is its first line.
void ExpectCompleteReport(const std::vector<std::string>& lines, size_t at,
                          const std::string& program) {
  auto line = [&](size_t i) { return at + i < lines.size() ? lines[at + i] : "<missing>"; };
  auto matches = [&](size_t i, const char* pattern) {
    EXPECT_TRUE(testing::FullMatch(line(i), pattern)) << i << ": " << line(i);
  };
  EXPECT_EQ(line(0), "");
  EXPECT_EQ(line(1), "Exception handler called in SeException.");
  EXPECT_EQ(line(2), "Read from location 00000000 caused an access violation.");
  matches(3, R"(Error occurred at \d{1,2}/\d{1,2}/\d{4} \d\d:\d\d:\d[02468]\.)");
  EXPECT_TRUE(line(4).starts_with(program + ", run by ")) << line(4);
  matches(5, R"(Operating system:  .+ \(.+\)\.)");
  matches(6, R"([1-9]\d* processor\(s\), type 8664\.)");
  matches(7, R"(\d{1,3}% memory in use\.)");
  matches(8, R"([1-9]\d* MBytes physical memory\.)");
  matches(9, R"(\d+ MBytes physical memory free\.)");
  matches(10, R"(\d+ MBytes paging file\.)");
  matches(11, R"(\d+ MBytes paging file free\.)");
  matches(12, R"(134217728 MBytes user address space\.)");
  matches(13, R"(1342\d{5} MBytes user address space free\.)");
  size_t i = 14;
  int number = 1;
  while (line(i).starts_with("Module ")) {
    EXPECT_EQ(line(i), "Module " + std::to_string(number));
    if (number == 1) {
      EXPECT_EQ(line(i + 1), program);
    }
    matches(i + 2, R"(Image Base: 0x[0-9a-f]{8,}  Image Size: 0x[0-9a-f]{8,})");
    matches(i + 3, R"(Checksum:   0x[0-9a-f]{8}  Time Stamp: 0x[0-9a-f]{8,})");
    matches(i + 4, R"(File Size:  \d+ *  File Time:  .*)");
    EXPECT_EQ(line(i + 5), "Version Information:");
    EXPECT_EQ(line(i + 6), "   Company:    ");
    EXPECT_EQ(line(i + 7), "   Product:    ");
    EXPECT_TRUE(line(i + 8).starts_with("   FileDesc:   ")) << line(i + 8);
    matches(i + 9, R"(   FileVer:    \d+\.\d+\.\d+\.\d+)");
    matches(i + 10, R"(   ProdVer:    \d+\.\d+\.\d+\.\d+)");
    EXPECT_EQ(line(i + 11), "");
    i += 12;
    ++number;
  }
  EXPECT_GE(number, 5) << "the program, libc, libstdc++, the loader and the vDSO at least";
  EXPECT_EQ(line(i), "");
  EXPECT_EQ(line(i + 1), "======================= [end of ERRORLOG.TXT] =======================");
}

TEST_F(CrashReportEndToEndTest, TheFirstFaultLeavesACompleteReportAndTheRunGoesOn) {
  const ProcessResult result =
      Run("[Main]\nLoop=2\n[NullRead]\nCPU=0,1\n[Pass]\nCPU=0\n", {"NullRead", "Pass"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(result.output.ends_with("\nError: Some of the tests failed.\n")) << result.output;
  EXPECT_EQ(Occurrences(result.output, "Exception ACCESS_VIOLATION"), 4u);
  // Four faults, one report and one dump.
  EXPECT_EQ(result.errors, "writing minidump\r\n");
  const std::string report = Report();
  EXPECT_EQ(Occurrences(report, "[end of ERRORLOG.TXT]"), 1u);
  EXPECT_EQ(Occurrences(report, "\n"), Occurrences(report, "\r\n")) << "CRLF line ends only";
  const std::vector<std::string> lines = CrlfLines(report);
  ExpectCompleteReport(lines, 0, program_);
  EXPECT_EQ(lines.back(), "");
  EXPECT_TRUE(
      Dump().starts_with("\x7f"
                         "ELF"));
}

TEST_F(CrashReportEndToEndTest, AnExistingReportIsAppendedToAndTheDumpReplaced) {
  WriteFile(dir_.File("ERRORLOG.TXT"), "report of an earlier run\r\n");
  WriteFile(dir_.File("CRASH.DMP"), "dump of an earlier run");
  Run("[NullRead]\nCPU=0\n", {"NullRead"});
  std::string report = Report();
  EXPECT_TRUE(report.starts_with("report of an earlier run\r\n\r\nException handler called in "))
      << report.substr(0, 200);
  const std::string first_dump = Dump();
  EXPECT_TRUE(
      first_dump.starts_with("\x7f"
                             "ELF"));

  Run("[NullRead]\nCPU=1\n", {"NullRead"});
  report = Report();
  EXPECT_EQ(Occurrences(report, "[end of ERRORLOG.TXT]"), 2u);
  const std::vector<std::string> lines = CrlfLines(report);
  const size_t second = static_cast<size_t>(
      std::find(lines.begin() + 2, lines.end(), "Exception handler called in SeException.") -
      lines.begin());
  ASSERT_LT(second, lines.size());
  ExpectCompleteReport(lines, second - 1, program_);
  const std::string second_dump = Dump();
  EXPECT_TRUE(
      second_dump.starts_with("\x7f"
                              "ELF"));
  EXPECT_FALSE(second_dump == first_dump);
}

TEST_F(CrashReportEndToEndTest, GdbOpensTheDumpAtTheFaultingFunction) {
  const std::string gdb = FindProgram("gdb");
  if (gdb.empty()) GTEST_SKIP() << "gdb is not installed on this machine";
  Run("[NullRead]\nCPU=1\n", {"NullRead"});
  ASSERT_TRUE(testing::FileExists(dir_.File("CRASH.DMP")));
  ProcessOptions options;
  options.working_dir = dir_.path();
  const ProcessResult result =
      RunProcess({gdb, "-batch", "-nx", "-ex", "bt", program_, dir_.File("CRASH.DMP")}, options);
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  EXPECT_NE(result.output.find("Program terminated with signal SIGSEGV"), std::string::npos)
      << result.output;
  EXPECT_TRUE(testing::Contains(result.output, R"(\n#0 +0x[0-9a-f]+ in FaultNullRead \(\))"))
      << result.output;
  // The callers are there too, down to the worker frame and the thread's start.
  EXPECT_NE(result.output.find("RunTestWorker"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("start_thread"), std::string::npos) << result.output;
}

TEST_F(CrashReportEndToEndTest, AFaultInTheDriverIsReportedToo) {
  const ProcessResult result = Run("[Main]\nLoop=1\n", {"DriverFault"});
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_EQ(result.errors, "writing minidump\r\n");
  EXPECT_EQ(Occurrences(Report(), "[end of ERRORLOG.TXT]"), 1u);
  EXPECT_NE(Report().find("\r\nRead from location 00000010 caused an access violation.\r\n"),
            std::string::npos);
  EXPECT_TRUE(
      Dump().starts_with("\x7f"
                         "ELF"));
}

TEST_F(CrashReportEndToEndTest, AFaultThatNoHandlerTakesLeavesNeitherFile) {
  const ProcessResult result = Run("[UntranslatedFault]\nCPU=0\n", {"UntranslatedFault"});
  EXPECT_EQ(result.signal, SIGSEGV);
  EXPECT_FALSE(FileExists(dir_.File("ERRORLOG.TXT")));
  EXPECT_FALSE(FileExists(dir_.File("CRASH.DMP")));
}

}  // namespace
}  // namespace forgeval::testing
