// End-to-end runs of the real forgeval binary, copied into a folder of the test's own with a
// configuration file written for the case, as an operator would start it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "program_fixture.h"
#include "syslog_listener.h"
#include "text_match.h"

namespace forgeval::testing {
namespace {

// Every test switched off, so a run shows only the driver's own lines.
const std::string kAllDisabled =
    "[Memory]\nEnabled=0\n[Cache]\nEnabled=false\n[FFT]\nEnabled=no\n"
    "[SortAlgorithms]\nEnabled=off\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=0\n";

std::string LogHeader() {
  return "Forgeval 1.3\n" + std::string(51, '-') + "\n\nStarted at:\t" + kStamp + "\n\n";
}
std::string LogFooter() { return "\nClosed at:\t" + kStamp + "\n" + std::string(41, '-') + "\n\n"; }

using EndToEndTest = ProgramTest;

TEST_F(EndToEndTest, ConsoleShowsBannerPassLinesAndVerdictExactly) {
  ProcessResult result = Run("[Main]\nLoop=3\n" + kAllDisabled);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, kBanner +
                               "--- Loop 1 of 3 ---\n--- Loop 2 of 3 ---\n"
                               "--- Loop 3 of 3 ---\n" +
                               kPassed);
  EXPECT_EQ(result.errors, "");
}

TEST_F(EndToEndTest, LogHasHeaderStampedLinesAndFooterAndRunsAppend) {
  const std::string ini = "[Main]\nLoop=2\n" + kAllDisabled;
  ASSERT_EQ(Run(ini).exit_code, 0);
  ASSERT_EQ(Run(ini).exit_code, 0);
  const std::string one_run = LogHeader() + "\n" + kStamp + " : --- Loop 1 of 2 ---\n\n" + kStamp +
                              " : --- Loop 2 of 2 ---\n\n" + kStamp +
                              " : All tests passed successfully.\n" + LogFooter();
  EXPECT_TRUE(testing::FullMatch(Log(), one_run + one_run)) << Log();
}

TEST_F(EndToEndTest, PassCountsThatRunNoPass) {
  // A word and -1 are not what they seem, and the run says so before it starts.
  const std::pair<const char*, const char*> cases[] = {
      {"0", ""},
      {"none", "Warning: ./forgeval.ini line 2: [Main] Loop=none is read as 0\n"},
      {"-1", "Warning: ./forgeval.ini line 2: [Main] Loop=-1 is read as 4294967295\n"},
      {"2147483648", ""},
  };
  for (const auto& [loop, warning] : cases) {
    SCOPED_TRACE(loop);
    std::filesystem::remove(dir_.File("forgeval.Log"));
    ProcessResult result = Run(std::string("[Main]\nLoop=") + loop + "\n" + kAllDisabled);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, kBanner + warning + kPassed);
    const std::string logged_warning = *warning ? kStamp + " : " + Escaped(warning) : "";
    EXPECT_TRUE(FullMatch(Log(), LogHeader() + logged_warning + "\n" + kStamp +
                                     " : All tests passed successfully.\n" + LogFooter()))
        << Log();
  }
}

TEST_F(EndToEndTest, MissingConfigurationRunsOnePassWithDefaults) {
  ProcessResult result = Run("", {dir_.File("absent.ini"), "ignored", "also ignored"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output.substr(0, kBanner.size()), kBanner);
  EXPECT_NE(result.output.find("--- Loop 1 of 1 ---\n"), std::string::npos);
  EXPECT_TRUE(result.output.ends_with(kPassed));
  EXPECT_FALSE(Log().empty());
}

TEST_F(EndToEndTest, ConfigurationPathFromTheFirstArgument) {
  const std::string other = dir_.File("other.ini");
  WriteFile(other, "[Main]\nLoop=2\nLogFile=other.Log\n" + kAllDisabled);
  ProcessResult result = Run("[Main]\nLoop=5\n" + kAllDisabled, {other});
  EXPECT_NE(result.output.find("--- Loop 2 of 2 ---\n"), std::string::npos);
  EXPECT_EQ(result.output.find("of 5"), std::string::npos);
  EXPECT_FALSE(Log("other.Log").empty());
}

TEST_F(EndToEndTest, LogLiesBesideTheProgramWhateverTheCurrentFolder) {
  TempDir elsewhere;
  ProcessOptions options;
  options.working_dir = elsewhere.path();
  WriteFile(elsewhere.File("forgeval.ini"),
            "[Main]\nLoop=1\nLogFile=.\\beside.Log\n" + kAllDisabled);
  ProcessResult result = Run("", {}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(Log("beside.Log").find("--- Loop 1 of 1 ---"), std::string::npos);
  EXPECT_FALSE(FileExists(elsewhere.File("beside.Log")));
}

TEST_F(EndToEndTest, LogFileNameIsCutTo29Characters) {
  const std::string name40 = "abcdefghijklmnopqrstuvwxyz0123456789.Log";
  ASSERT_EQ(name40.size(), 40u);
  ASSERT_EQ(Run("[Main]\nLogFile=" + name40 + "\n" + kAllDisabled).exit_code, 0);
  EXPECT_TRUE(FileExists(dir_.File(name40.substr(0, 29))));
  EXPECT_FALSE(FileExists(dir_.File(name40)));
}

TEST_F(EndToEndTest, UnwritableLogFolderLeavesTheRunUnchanged) {
  mkdir(dir_.File("logs").c_str(), 0555);
  ProcessOptions options;
  options.unprivileged = true;
  ProcessResult result =
      Run("[Main]\nLoop=1\nLogFile=logs/run.Log\nResultFile=\n" + kAllDisabled, {}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, kBanner + "--- Loop 1 of 1 ---\n" + kPassed);
  EXPECT_FALSE(FileExists(dir_.File("logs/run.Log")));
}

TEST_F(EndToEndTest, EmptyLogFileNameWritesNoLog) {
  ProcessResult result = Run("[Main]\nLoop=1\nLogFile=\n" + kAllDisabled);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, kBanner + "--- Loop 1 of 1 ---\n" + kPassed);
  EXPECT_FALSE(FileExists(dir_.File("forgeval.Log")));
}

TEST_F(EndToEndTest, ARunWithoutErrorsSendsNothingToTheSystemLog) {
  SyslogListener listener(dir_.File("log.sock"));
  ProcessOptions options;
  options.environment.emplace_back("FORGEVAL_SYSLOG_SOCKET", listener.path());
  EXPECT_EQ(Run("[Main]\nLoop=2\n" + kAllDisabled, {}, options).exit_code, 0);
  EXPECT_TRUE(listener.Drain(100).empty());
}

TEST_F(EndToEndTest, HelpVersionAndUnknownOptions) {
  ProcessResult help = RunProcess({program_, "--help"}, {});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.output.starts_with("Usage: forgeval [CONFIG]\n")) << help.output;
  for (const char* key :
       {"LogFile", "Loop", "ResultFile", "MemSize", "ArraySize", "Drive", "Size", "130"}) {
    EXPECT_NE(help.output.find(key), std::string::npos) << key;
  }
  EXPECT_EQ(RunProcess({program_, "-h"}, {}).output, help.output);
  ProcessResult version = RunProcess({program_, "--version"}, {});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output, "Forgeval 1.3\n");
  ProcessResult unknown = RunProcess({program_, "--loop=3"}, {});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_EQ(unknown.output, "");
  EXPECT_TRUE(unknown.errors.starts_with("forgeval: unknown option '--loop=3'\n"));
  EXPECT_FALSE(FileExists(dir_.File("forgeval.Log"))) << "a usage error runs nothing";
}

TEST_F(EndToEndTest, ConfigurationMistakesAreWarnedOnConsoleAndLog) {
  ProcessResult result = Run("[Main]\nLoop=one\n" + kAllDisabled + "[Cache]\nEnable=false\n");
  const std::string file = "./forgeval.ini";  // the default path, as the program reads it
  const std::string loop = "Warning: " + file + " line 2: [Main] Loop=one is read as 0\n";
  const std::string enable =
      "Warning: " + file + " line 16: unknown key \"Enable\" in section [Cache]\n";
  EXPECT_EQ(result.output, kBanner + loop + enable + kPassed);
  EXPECT_NE(Log().find(" : " + loop), std::string::npos) << Log();
  EXPECT_NE(Log().find(" : " + enable), std::string::npos);
}

// The shipped file, the manual page and the README name every key the program reads.
TEST_F(EndToEndTest, EveryKeyIsShippedAndDocumented) {
  const std::string source = FORGEVAL_SOURCE_DIR;
  const std::string shipped = ReadFile(source + "/forgeval.ini");
  const std::string manual = ReadFile(source + "/docs/forgeval.1");
  const std::string readme = ReadFile(source + "/README.md");
  const std::vector<std::pair<const char*, std::vector<const char*>>> sections = {
      {"Main", {"LogFile", "Loop", "ResultFile"}},
      {"Memory", {"Enabled", "CPU", "MemSize"}},
      {"Cache", {"Enabled", "CPU"}},
      {"FFT", {"Enabled", "CPU"}},
      {"SortAlgorithms", {"Enabled", "CPU", "ArraySize"}},
      {"Matrix", {"Enabled", "CPU"}},
      {"Disk", {"Enabled", "CPU", "Drive", "Size"}}};
  for (const auto& [section, keys] : sections) {
    EXPECT_NE(shipped.find("[" + std::string(section) + "]"), std::string::npos) << section;
    EXPECT_NE(manual.find("[" + std::string(section) + "]"), std::string::npos) << section;
    for (const char* key : keys) {
      EXPECT_NE(shipped.find("\n" + std::string(key) + "="), std::string::npos) << key;
      EXPECT_NE(manual.find(std::string(key) + "="), std::string::npos) << key;
      EXPECT_NE(readme.find("| " + std::string(section) + " | " + key + " |"), std::string::npos)
          << section << " " << key;
    }
  }
}

}  // namespace
}  // namespace forgeval::testing
