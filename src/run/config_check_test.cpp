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

TEST(ConfigCheckTest, ValuesReadOtherwiseThanWritten) {
  EXPECT_EQ(
      WarningsFor("[Main]\nLoop=ten\nLogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log\n"
                  "[Memory]\nMemSize=4GB\nEnabled=on\nCPU=0, one, 1\n[Disk]\nSize=-5\n"
                  "[SortAlgorithms]\nArraySize=99999999999\n"),
      (std::vector<std::string>{
          "Warning: F line 2: [Main] Loop=ten is read as 0",
          "Warning: F line 3: [Main] LogFile=abcdefghijklmnopqrstuvwxyz0123456789.Log is cut to "
          "its first 29 characters: \"abcdefghijklmnopqrstuvwxyz012\"",
          "Warning: F line 5: [Memory] MemSize=4GB is read as 4",
          "Warning: F line 6: [Memory] Enabled=on is read as false",
          "Warning: F line 7: [Memory] CPU=0, one, 1 has the entry \"one\", read as processor 0",
          "Warning: F line 9: [Disk] Size=-5 is read as -5",
          "Warning: F line 11: [SortAlgorithms] ArraySize=99999999999 is read as 4294967295",
      }));
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
  EXPECT_TRUE(ConfigurationWarnings("/nonexistent/forgeval.ini").empty());
}

}  // namespace
}  // namespace forgeval
