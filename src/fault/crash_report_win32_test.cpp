// ERRORLOG.TXT and CRASH.DMP as Windows writes them: the machine as the Windows queries see it,
// the modules with their PE headers and version resources, and a minidump. A debugger reading
// the dump back is checked from the Linux side (tests/windows_crash_dump_test.sh), which runs
// this test with FORGEVAL_CRASH_FOLDER naming a folder that keeps the files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "fault/crash_report.h"
#include "platform/process.h"
#include "temp_dir.h"
#include "text_match.h"

namespace forgeval {
namespace {

using testing::AllMatchGroups;
using testing::MatchGroups;

// The real queries, with the program's path in the test's folder so that the files go there.
struct QueriesInFolder : platform::SystemQueries {
  std::string program;
  std::optional<std::string> ProgramPath() const override { return program; }
};

int* volatile g_nowhere = nullptr;
__attribute__((noinline)) void FaultingFunctionForTheDump(void*) { *g_nowhere = 1; }

// Writes the report of a real fault in FaultingFunctionForTheDump, or without exception
// pointers, when the dump shows the writer called from here. Returns what went to the
// diagnostic channel.
__attribute__((noinline)) std::string WriteReportFromHere(const platform::SystemQueries& queries,
                                                          bool with_pointers) {
  platform::ThreadFaultGuard guard;
  platform::FaultPointers pointers;
  EXPECT_NE(with_pointers,
            platform::RunGuarded(
                with_pointers ? &FaultingFunctionForTheDump : [](void*) {}, nullptr, &pointers));
  ::testing::internal::CaptureStderr();
  CrashReporter(queries).Write(pointers);
  return ::testing::internal::GetCapturedStderr();
}

// The report and dump in `folder`; the report begins with `fault_lines`.
void CheckCrashFiles(const std::string& folder, const std::string& fault_lines) {
  const std::string report = testing::ReadFile(folder + "\\ERRORLOG.TXT");
  const auto machine = MatchGroups(
      report.substr(0, report.find("Module 1\r\n")),
      "\r\n" + testing::Escaped(fault_lines) +
          "Error occurred at \\d+/\\d+/(\\d+) \\d\\d:\\d\\d:\\d\\d.\r\n(.*), run by (.+).\r\n"
          "Operating system:  (.+) \\((\\d+)\\.\\d+\\.\\d+\\).\r\n"
          "(\\d+) processor\\(s\\), type 8664.\r\n(\\d+)% memory in use.\r\n"
          "(\\d+) MBytes physical memory.\r\n(\\d+) MBytes physical memory free.\r\n"
          "(\\d+) MBytes paging file.\r\n(\\d+) MBytes paging file free.\r\n"
          "(\\d+) MBytes user address space.\r\n(\\d+) MBytes user address space free.\r\n");
  ASSERT_TRUE(machine.has_value()) << report;
  const std::vector<std::string>& m = *machine;
  EXPECT_TRUE(std::stoi(m[0]) >= 2024 && m[1] == folder + "\\forgeval.exe");
  EXPECT_TRUE(m[3].starts_with("Windows") || m[3].starts_with("Microsoft Windows")) << m[3];
  // The shell test presents Windows 10 to its copy of this program in a Windows 7 prefix, where
  // GetVersionExA would still say 6.1.
  if (const char* major = getenv("FORGEVAL_WINDOWS_MAJOR")) {
    EXPECT_EQ(m[4], major);
  }
  EXPECT_TRUE(std::stoi(m[5]) > 0 && std::stoi(m[6]) <= 100);
  const platform::SystemQueries& system = platform::RealSystemQueries();  // for the run record
  EXPECT_TRUE(!system.HostName().value_or("").empty() &&
              !system.ProcessorModel().value_or("").empty());
  for (size_t i = 7; i < 13; ++i) EXPECT_GT(std::stoull(m[i]), 0u) << i;
  EXPECT_TRUE(std::stoull(m[7]) >= std::stoull(m[8]) && std::stoull(m[11]) > std::stoull(m[7]));

  // Every module once, numbered from 1 in address order, the program's with its link time and
  // the system's with their version resources.
  const auto modules = AllMatchGroups(
      report,
      "Module (\\d+)\r\n([^\r]+)\r\nImage Base: 0x([0-9a-f]{8,})  Image Size: 0x([0-9a-f]{8})\r\n"
      "Checksum:   0x[0-9a-f]{8}  Time Stamp: 0x([0-9a-f]{8})\r\n"
      "File Size:  (\\d+) *  File Time:  (\\d+/\\d+/\\d+ [\\d:]+)\r\n"
      "Version Information:\r\n   Company:    ([^\r]*)\r\n   Product:    [^\r]*\r\n"
      "   FileDesc:   [^\r]*\r\n   FileVer:    ([\\d.]+)\r\n   ProdVer:    [\\d.]+\r\n\r\n");
  ASSERT_GE(modules.size(), 3u) << report;
  std::map<std::string, std::vector<std::string>> by_name;
  for (size_t i = 0; i < modules.size(); ++i) {
    const std::vector<std::string>& module = modules[i];
    EXPECT_TRUE(module[0] == std::to_string(i + 1) &&
                (i == 0 || std::stoull(module[2], nullptr, 16) >
                               std::stoull(modules[i - 1][2], nullptr, 16)) &&
                std::stoull(module[3], nullptr, 16) > 0 && std::stoull(module[5]) > 0)
        << module[1];
    by_name[module[1] == platform::ProgramPath() ? "program"
                                                 : module[1].substr(module[1].rfind('\\') + 1)] =
        module;
  }
  for (const char* name : {"program", "ntdll.dll", "kernel32.dll"}) {
    const std::vector<std::string> module = by_name[name];  // the program has no version resource
    EXPECT_TRUE(module.size() == 9 && module[4] != "00000000" &&
                (module[7].empty() && module[8] == "0.0.0.0") == (name == std::string("program")))
        << name << report;
  }
  EXPECT_TRUE(report.ends_with("Memory dump written to " + folder +
                               "\\CRASH.DMP.\r\n\r\n======================= [end of "
                               "ERRORLOG.TXT] =======================\r\n"));
  EXPECT_EQ(testing::ReadFile(folder + "\\CRASH.DMP").substr(0, 4), "MDMP");
  // Nothing else there: no temporary file left behind.
  EXPECT_EQ(std::ranges::distance(std::filesystem::directory_iterator(folder)), 2);
}

// Once with the pointers of a fault and once without, each into a folder of its own.
TEST(WindowsCrashReportTest, TheReportShowsWhatWindowsSaysAndTheDumpIsAMinidump) {
  testing::TempDir temporary;
  const char* kept = getenv("FORGEVAL_CRASH_FOLDER");
  for (const bool with_pointers : {true, false}) {
    const std::string folder =
        (kept != nullptr ? kept : temporary.path()) + (with_pointers ? "\\pointers" : "\\none");
    std::filesystem::create_directory(folder);
    QueriesInFolder queries;
    queries.program = folder + "\\forgeval.exe";
    EXPECT_EQ(WriteReportFromHere(queries, with_pointers),
              with_pointers ? "writing minidump\r\n" : "raising exception\r\nwriting minidump\r\n");
    CheckCrashFiles(folder, with_pointers ? "Exception handler called in SeException.\r\n"
                                            "Write to location 00000000 caused an access "
                                            "violation.\r\n"
                                          : "");
  }
}

}  // namespace
}  // namespace forgeval
