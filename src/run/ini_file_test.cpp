// The configuration file: what the readers make of it, and the warnings that say so.
#include "run/ini_file.h"

#include <gtest/gtest.h>

#include "run/config_check.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using testing::WriteFile;

// Each case rewrites the file under one IniFile, so a cached read fails the next case; the
// path is given with a backslash, which must be read as a separator.
class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ini_.SetPath(dir_.path() + "\\f.ini"); }
  testing::TempDir dir_;
  IniFile ini_;
};

// Names without case, the first key of the section, blanks and one pair of quotes removed.
TEST_F(IniFileTest, ReadsTheFirstKeyOfItsSection) {
  EXPECT_EQ(IniReadString("Main", "Loop", "d"), "d") << "no file";
  const std::pair<std::string, std::string> cases[] = {
      {"[mAIN]\nLOOP = 2 \nloop=9\n", "2"},
      {"\xEF\xBB\xBF;c\r\n#Loop=1\r\n[ Main ]\r\n;Loop=5\r\nbare\r\nLoop=\"a=b\" \r\n", "a=b"},
      {"Loop=1\n[Main]\nLoops=2\n[Cache]\nLoop=3\n", "d"},
      {"[Main]\nLoop=\n", ""},
      {"[Main]\nLoop=\"\"7\"\n", "\"7"},
      {"[Main]\nLoop=\"\n", "\""}};
  for (const auto& [text, expected] : cases) {
    WriteFile(dir_.File("f.ini"), text);
    EXPECT_EQ(ini_.ReadString("Main", "Loop", "d"), expected) << text;
  }
}

// Numbers as the C library reads them, booleans also from "true" and "yes"; only the first 64
// characters count. Each value with its number, and its boolean with either default:
TEST_F(IniFileTest, NumbersAndBooleans) {
  const std::string zeros(63, '0');
  const std::pair<std::string, std::string> cases[] = {
      {" ", "1 0 1"},          {"TRUE", "0 1 1"},        {"Yes", "0 1 1"},
      {"yes please", "0 0 0"}, {"\v 7 apples", "7 1 1"}, {"4294967296", "4294967295 1 1"},
      {zeros + "19", "1 1 1"}, {zeros + "07", "0 0 0"},
  };
  for (const auto& [text, expected] : cases) {
    WriteFile(dir_.File("f.ini"), "[Main]\nLoop=" + text + "\n");
    EXPECT_EQ(std::to_string(IniReadInt("Main", "Loop", 1)) +
                  (IniReadBool("Main", "Loop", false) ? " 1" : " 0") +
                  (IniReadBool("Main", "Loop", true) ? " 1" : " 0"),
              expected)
        << text;
  }
}

// Every kind of mistake the readers pass over silently is named with its line.
TEST_F(IniFileTest, ConfigurationWarnings) {
  const std::string path = dir_.File("f.ini"), at = "Warning: " + path + " line ";
  const std::string name(29, 'x');
  WriteFile(path, "Loop=1\n[Main]\nLoop=1\nLOOP=2\nLogFile=" + name +
                      "y\n[Mian]\n[Memory]\nEnabled=on\nCPU=0,-99999999999x\n[Disk]\nSize=-5\n");
  EXPECT_EQ(ConfigurationWarnings(path),
            (std::vector<std::string>{
                at + "1: key \"Loop\" stands before any section and is never read",
                at + "4: [Main] LOOP is given again; only the first counts",
                at + "5: [Main] LogFile=" + name + "y is cut to its first 29 characters: \"" +
                    name + "\"",
                at + "6: unknown section [Mian]", at + "8: [Memory] Enabled=on is read as false",
                at + "9: [Memory] CPU=0,-99999999999x has the entry \"-99999999999x\", read as "
                     "processor -2147483648",
                at + "11: [Disk] Size=-5 is read as -5"}));
  EXPECT_TRUE(ConfigurationWarnings(FORGEVAL_SOURCE_DIR "/forgeval.ini").empty());
}

}  // namespace
}  // namespace forgeval
