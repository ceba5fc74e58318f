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
  // The end-to-end table shows Loop=-1, Loop=2147483648 and MemSize=-1, -4 and 4294967295.
  EXPECT_EQ(
      WarningsFor("[Main]\nLoop=+3\n[Memory]\nMemSize=2x\n[Disk]\nSize=4294967295\n"),
      (std::vector<std::string>{
          "Warning: F line 2: [Main] Loop=+3 is read as 3",
          "Warning: F line 4: [Memory] MemSize=2x is read as 2; the Memory test allocates 0 MB",
          "Warning: F line 6: [Disk] Size=4294967295 is read as -1; no file pair is written",
      }));
}

// Lines that are not read, beyond the end-to-end table's "Enabled false" and "[Cache": a key
// given on another line, lone CRs, no key; and a UTF-16 file, with or without its mark.
TEST(ConfigCheckTest, LinesThatAreNotReadAreNamed) {
  EXPECT_EQ(WarningsFor("[Cache]\nCPU 1\nCPU=0\n=5\n[Main]\rstray words\r\nLoop=1\r"),
            (std::vector<std::string>{
                "Warning: F line 2: [Cache] \"CPU 1\" is not a key=value line and is not read; "
                "CPU is read from line 3",
                "Warning: F line 4: [Cache] \"=5\" is not a key=value line and is not read",
                "Warning: F line 6: [Main] \"stray words\" is not a key=value line and is not read",
            }));
  std::string utf16;
  for (char c : std::string("[Main]\nLoop=0\n")) utf16 += {c, '\0'};
  for (const std::string& bom : {std::string("\xFF\xFE"), std::string()}) {
    EXPECT_EQ(WarningsFor(bom + utf16),
              std::vector<std::string>{"Warning: F is UTF-16 text and is not read; every setting "
                                       "takes its default (save it as UTF-8)"});
  }
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
