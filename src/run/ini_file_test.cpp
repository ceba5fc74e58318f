#include "run/ini_file.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace forgeval {
namespace {

using testing::TempDir;
using testing::WriteFile;

class IniFileTest : public ::testing::Test {
 protected:
  void Write(const std::string& content) { WriteFile(path_, content); }
  void SetUp() override { ini_.SetPath(path_); }

  TempDir dir_;
  std::string path_ = dir_.File("forgeval.ini");
  IniFile ini_;
};

TEST_F(IniFileTest, MissingFileGivesEveryDefault) {
  EXPECT_EQ(ini_.ReadString("Main", "LogFile", ".\\forgeval.Log"), ".\\forgeval.Log");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 1), 1u);
  EXPECT_TRUE(ini_.ReadBool("Memory", "Enabled", true));
  EXPECT_TRUE(ini_.ReadList("Disk", "Drive").empty());
  // The free readers go through the process-wide object, which is this one.
  EXPECT_EQ(IniReadInt("SortAlgorithms", "ArraySize", 20000000), 20000000u);
}

TEST_F(IniFileTest, MissingSectionOrKeyGivesDefault) {
  Write("[Main]\nLoop=7\n[Memory]\nMemSize=9\n");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 1), 7u);
  EXPECT_EQ(ini_.ReadInt("Main", "Other", 3), 3u);
  EXPECT_EQ(ini_.ReadInt("Cache", "Loop", 5), 5u);
  // A key of another section is not found.
  EXPECT_EQ(ini_.ReadInt("Main", "MemSize", 4), 4u);
}

TEST_F(IniFileTest, NamesMatchWithoutCaseAndFirstKeyWins) {
  Write("[mAIN]\nLOOP = 2\nloop=9\n\n[Memory]\n  cpu  =  1 , 2  \n");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 1), 2u);
  EXPECT_EQ(ini_.ReadString("MEMORY", "Cpu", ""), "1 , 2");
}

TEST_F(IniFileTest, CommentsBlankLinesCarriageReturnsAndQuotes) {
  Write(
      "\xEF\xBB\xBF; a comment\r\n# another=1\r\n[Main]\r\n;Loop=5\r\n  # Loop=6\r\n"
      "Loop=3\r\nLogFile=\"run one.Log\"\r\nbare line\r\n");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 1), 3u);
  EXPECT_EQ(ini_.ReadString("Main", "LogFile", ""), "run one.Log");
  EXPECT_EQ(ini_.ReadString("", "another", "none"), "none");
}

TEST_F(IniFileTest, FileIsReadAgainOnEveryCall) {
  Write("[Memory]\nEnabled=1\n");
  EXPECT_TRUE(ini_.ReadBool("Memory", "Enabled", true));
  Write("[Memory]\nEnabled=0\n");
  EXPECT_FALSE(ini_.ReadBool("Memory", "Enabled", true));
}

TEST_F(IniFileTest, BooleanSpellings) {
  const std::pair<const char*, bool> cases[] = {
      {"TRUE", true}, {"Yes", true},    {"5", true},          {"-1", true},
      {"2", true},    {"false", false}, {"No", false},        {"0", false},
      {"off", false}, {"on", false},    {"  7 apples", true}, {"yes please", false},
  };
  for (const auto& [text, expected] : cases) {
    Write(std::string("[Cache]\nEnabled=") + text + "\n");
    EXPECT_EQ(ini_.ReadBool("Cache", "Enabled", !expected), expected) << text;
  }
  Write("[Cache]\nEnabled=\n");
  EXPECT_TRUE(ini_.ReadBool("Cache", "Enabled", true)) << "an empty value keeps the default";
  EXPECT_FALSE(ini_.ReadBool("Cache", "Enabled", false));
}

TEST_F(IniFileTest, UnsignedNumbersFollowTheCLibrary) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"0", 0u},
      {"word", 0u},
      {"-1", 4294967295u},
      {"-5", 4294967291u},
      {"+12", 12u},
      {"3 passes", 3u},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999", 4294967295u},
      {"-99999999999", 4294967295u},
      {"12abc", 12u},
  };
  for (const auto& [text, expected] : cases) {
    Write(std::string("[Main]\nLoop=") + text + "\n");
    EXPECT_EQ(ini_.ReadInt("Main", "Loop", 1), expected) << text;
  }
}

TEST_F(IniFileTest, OnlyTheFirst64CharactersOfANumberCount) {
  // 64 characters of blanks and zeros, then a digit that must not count.
  Write("[Main]\nLoop=" + std::string(63, '0') + "1" + "9\n");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 5), 1u);
  Write("[Main]\nLoop=" + std::string(64, '0') + "7\n");
  EXPECT_EQ(ini_.ReadInt("Main", "Loop", 5), 0u);
  Write("[Memory]\nEnabled=" + std::string(64, '0') + "1\n");
  EXPECT_FALSE(ini_.ReadBool("Memory", "Enabled", true));
}

TEST_F(IniFileTest, LongValuesAreReadWhole) {
  std::string value(600, 'x');
  value[599] = 'z';
  Write("[Main]\nLogFile=" + value + "\n");
  EXPECT_EQ(ini_.ReadString("Main", "LogFile", ""), value);
}

TEST_F(IniFileTest, EmptyValueIsNotTheDefault) {
  Write("[Main]\nLogFile=\n");
  EXPECT_EQ(ini_.ReadString("Main", "LogFile", ".\\forgeval.Log"), "");
}

TEST_F(IniFileTest, ListsAreTrimmedAndEmptyEntriesDropped) {
  Write("[Memory]\nCPU=, 1,, 3 \n[Cache]\nCPU=,,3,\n[FFT]\nCPU=\t2\t,2\n[Matrix]\nCPU=\n");
  EXPECT_EQ(ini_.ReadList("Memory", "CPU"), (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(ini_.ReadList("Cache", "CPU"), (std::vector<std::string>{"3"}));
  EXPECT_EQ(ini_.ReadList("FFT", "CPU"), (std::vector<std::string>{"2", "2"}));
  EXPECT_TRUE(ini_.ReadList("Matrix", "CPU").empty());
}

TEST(IniParseTest, SignedConversionHoldsAtTheLimits) {
  EXPECT_EQ(ParseSigned32("  -17x"), -17);
  EXPECT_EQ(ParseSigned32("2147483647"), 2147483647);
  EXPECT_EQ(ParseSigned32("2147483648"), 2147483647);
  EXPECT_EQ(ParseSigned32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseSigned32("-99999999999"), INT32_MIN);
  EXPECT_EQ(ParseSigned32("abc"), 0);
  EXPECT_EQ(ParseSigned32(""), 0);
  EXPECT_EQ(TrimBlanks(" \t\r\nx y\n\r\t "), "x y");
}

TEST(IniPathTest, BackslashesAreSeparators) {
  IniFile ini;
  ini.SetPath(".\\forgeval.ini");
  EXPECT_EQ(ini.path(), "./forgeval.ini");
}

}  // namespace
}  // namespace forgeval
