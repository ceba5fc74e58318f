#include "run/config_check.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace forgeval {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> WarningsFor(const std::string& content) {
  TempDir dir;
  const std::string path = dir.File("forgeval.ini");
  WriteFile(path, content);
  std::vector<std::string> warnings = ConfigurationWarnings(path);
  for (std::string& warning : warnings) warning.replace(warning.find(path), path.size(), "F");
  return warnings;
}

TEST(ConfigCheckTest, UnknownSectionsAndKeysAreNamedWithTheirLine) {
  EXPECT_EQ(WarningsFor("[Main]\nLoop=1\n[Memory]\nEnable=false\n[Mian]\nLoop=2\nstray=1\n"),
            (std::vector<std::string>{
                "Warning: F line 4: unknown key \"Enable\" in section [Memory]",
                "Warning: F line 5: unknown section [Mian]",
            }));
  EXPECT_EQ(WarningsFor("Loop=3\n[main]\nloop=1\n"),
            (std::vector<std::string>{
                "Warning: F line 1: key \"Loop\" stands before any section and is never read"}));
}

// Each warning names the value the program uses and, where it tests nothing, says so.
TEST(ConfigCheckTest, ValuesReadOtherwiseThanWritten) {
  EXPECT_EQ(
      WarningsFor("[Main]\nLoop=ten\nLogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log\n"
                  "[Memory]\nMemSize=4GB\nEnabled=on\nCPU=0, one, 1\n[Disk]\nSize=-5\n"
                  "[SortAlgorithms]\nArraySize=99999999999\n"),
      (std::vector<std::string>{
          "Warning: F line 2: [Main] Loop=ten is read as 0; no pass runs",
          "Warning: F line 3: [Main] LogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log is cut to "
          "its first 29 characters: \"abcdefghijklmnopqrstuvwxyz012\"",
          "Warning: F line 5: [Memory] MemSize=4GB is read as 4",
          "Warning: F line 6: [Memory] Enabled=on is read as false",
          "Warning: F line 7: [Memory] CPU=0, one, 1 has the entry \"one\", read as processor 0",
          "Warning: F line 9: [Disk] Size=-5 is read as -5; no file pair is written",
          "Warning: F line 11: [SortAlgorithms] ArraySize=99999999999 is read as 4294967295",
      }));
  const std::pair<std::string, std::string> signed_values[] = {
      {"Loop=-1", "[Main] Loop=-1 is read as -1; no pass runs"},
      {"Loop=2147483648", "[Main] Loop=2147483648 is read as -2147483648; no pass runs"},
      {"Loop=+3", "[Main] Loop=+3 is read as 3"},
      {"MemSize=-1", "[Memory] MemSize=-1 is read as -1; the Memory test allocates 0 MB"},
      {"MemSize=4294967295",
       "[Memory] MemSize=4294967295 is read as -1; the Memory test allocates 0 MB"},
      {"MemSize=-4", "[Memory] MemSize=-4 is read as -4; the Memory test reports it as an error"},
      {"MemSize=2x", "[Memory] MemSize=2x is read as 2; the Memory test allocates 0 MB"},
      {"Size=4294967295", "[Disk] Size=4294967295 is read as -1; no file pair is written"},
  };
  for (const auto& [line, warning] : signed_values) {
    const std::string section = warning.substr(1, warning.find(']') - 1);
    EXPECT_EQ(WarningsFor("[" + section + "]\n" + line + "\n"),
              std::vector<std::string>{"Warning: F line 2: " + warning});
  }
}

// Lines the readers skip or read otherwise than an editor shows them: each is named with what
// is read instead.
TEST(ConfigCheckTest, LinesThatAreNotReadAreNamed) {
  EXPECT_EQ(
      WarningsFor("[Memory]\nEnabled false\n[Cache\nEnabled: false\nCPU 1\nCPU=0\n=5\n[Main]\r"
                  "stray words\r\nLoop=1\r"),
      (std::vector<std::string>{
          "Warning: F line 2: [Memory] \"Enabled false\" is not a key=value line and is not "
          "read; Enabled takes its default",
          "Warning: F line 3: \"[Cache\" has no closing bracket; the lines below it are read as "
          "section [Cache]",
          "Warning: F line 4: [Cache] \"Enabled: false\" is not a key=value line and is not "
          "read; Enabled takes its default",
          "Warning: F line 5: [Cache] \"CPU 1\" is not a key=value line and is not read; CPU is "
          "read from line 6",
          "Warning: F line 7: [Cache] \"=5\" is not a key=value line and is not read",
          "Warning: F line 9: [Main] \"stray words\" is not a key=value line and is not read",
      }));
  std::string utf16;
  for (char c : std::string("[Main]\nLoop=0\n")) utf16 += {c, '\0'};
  for (const std::string& bom : {std::string("\xFF\xFE"), std::string()}) {
    EXPECT_EQ(WarningsFor(bom + utf16),
              std::vector<std::string>{"Warning: F is UTF-16 text and is not read; every setting "
                                       "takes its default (save it as UTF-8)"});
  }
  std::string many = "[Main]\n";
  for (int i = 0; i < 130; ++i) many += "Key" + std::to_string(i) + "=1\n";
  const std::vector<std::string> capped = WarningsFor(many);
  ASSERT_EQ(capped.size(), 101u);
  EXPECT_EQ(capped[99], "Warning: F line 101: unknown key \"Key99\" in section [Main]");
  EXPECT_EQ(capped[100], "Warning: F: 30 more warnings are not shown");
}

TEST(ConfigCheckTest, DuplicateKeysAreNamed) {
  EXPECT_EQ(WarningsFor("[Cache]\nEnabled=1\nENABLED=0\n"),
            (std::vector<std::string>{
                "Warning: F line 3: [Cache] ENABLED is given again; only the first counts"}));
}

TEST(ConfigCheckTest, WellWrittenFilesGiveNoWarning) {
  EXPECT_TRUE(
      WarningsFor("; comment\n[Main]\nLoop=0\nLogFile=\n[Memory]\nEnabled=No\nCPU=0,1\n"
                  "MemSize=\n[Cache]\nEnabled=TRUE\n[FFT]\nEnabled=-1\n[Disk]\nDrive=/mnt/a\n")
          .empty());
  EXPECT_TRUE(ConfigurationWarnings(std::string(FORGEVAL_SOURCE_DIR) + "/forgeval.ini").empty());
  EXPECT_EQ(ConfigurationWarnings("/nonexistent/forgeval.ini"),
            std::vector<std::string>{"Warning: /nonexistent/forgeval.ini cannot be read (No such "
                                     "file or directory); every setting takes its default"});
  EXPECT_EQ(ConfigurationWarnings("/"),
            std::vector<std::string>{
                "Warning: / cannot be read (Is a directory); every setting takes its default"});
}

}  // namespace
}  // namespace forgeval
