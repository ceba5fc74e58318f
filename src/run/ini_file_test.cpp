#include "run/ini_file.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace forgeval {
namespace {

// What each file's [Main] Loop reads as: names without case, the first key of the section,
// blanks and one pair of quotes removed. Then numbers as the C library reads them, booleans also
// from "true" and "yes", only the first 64 characters counting: each value with its number and
// its boolean with either default. One IniFile reads every case afresh, through a path whose
// backslash is a separator.
TEST(IniFileTest, ReadersRules) {
  testing::TempDir dir;
  IniFile ini;
  ini.SetPath(dir.path() + "\\f.ini");
  const std::pair<std::string, std::string> texts[] = {
      {"[mAIN]\nLOOP = 2 \nloop=9\n", "2"},
      {"\xEF\xBB\xBF[ Main ]\r\n;Loop=5\r\n#Loop=1\r\nLoop\r\nLoop=\"a=b\" \r\n", "a=b"},
      {"Loop=1\n[Main]\nLoops=2\n[Cache]\nLoop=3\n", "d"},
      {"[Main]\nLoop=\n", ""},
      {"[Main]\nLoop=\"\"7\"\n", "\"7"},
      {"[Main]\nLoop=\"\n", "\""}};
  for (const auto& [text, value] : texts) {
    testing::WriteFile(dir.File("f.ini"), text);
    EXPECT_EQ(ini.ReadString("Main", "Loop", "d"), value) << text;
  }
  const std::string zeros(63, '0');
  const std::pair<std::string, std::string> numbers[] = {
      {" ", "1 0 1"},          {"TRUE", "0 1 1"},        {"Yes", "0 1 1"},
      {"yes please", "0 0 0"}, {"\v 7 apples", "7 1 1"}, {"4294967296", "4294967295 1 1"},
      {zeros + "19", "1 1 1"}, {zeros + "07", "0 0 0"},
  };
  for (const auto& [text, expected] : numbers) {
    testing::WriteFile(dir.File("f.ini"), "[Main]\nLoop=" + text + "\n");
    EXPECT_EQ(std::to_string(IniReadInt("Main", "Loop", 1)) +
                  (IniReadBool("Main", "Loop", false) ? " 1" : " 0") +
                  (IniReadBool("Main", "Loop", true) ? " 1" : " 0"),
              expected)
        << text;
  }
}

}  // namespace
}  // namespace forgeval
