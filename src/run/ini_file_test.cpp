#include "run/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>

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
      {"[Main]\nLoop=\"\n", "\""},
      // Lone CRs end lines; a CR LF is one line end; a section without its bracket counts.
      {"[Main]\rLoop=3\r", "3"},
      {"[Cache]\r\n[ Main \r\nLoop=4\r\n", "4"},
      {"[Main]\nLoop\r=5\nLoop=6\n", "6"},
      // UTF-16 is not read, with or without its byte order mark.
      {std::string("\xFF\xFE[\0M\0a\0i\0n\0]\0\n\0L\0o\0o\0p\0=\0\x37\0", 24), "d"},
      {std::string("[\0M\0a\0i\0n\0]\0\n\0L\0o\0o\0p\0=\0\x37\0", 22), "d"}};
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

// Once read, a file that goes away (an editor saving by rename) keeps its last settings, with
// one warning until it is back; a file that is back is read again, and warned about again when
// it goes away again. A file never read gives the defaults without a word.
TEST(IniFileTest, AFileThatGoesAwayKeepsItsLastSettings) {
  testing::TempDir dir;
  IniFile ini;
  std::vector<std::string> warnings;
  ini.SetWarningSink([&](const std::string& warning) { warnings.push_back(warning); });
  const std::string path = dir.File("f.ini");
  ini.SetPath(path);
  // Each step: the file's text ("/": a folder at its name; none: no file), what Loop reads as.
  const std::pair<const char*, const char*> steps[] = {
      {nullptr, "d"}, {"[Main]\nLoop=1\n", "1"}, {nullptr, "1"},
      {nullptr, "1"}, {"[Main]\nLoop=2\n", "2"}, {"/", "2"},
      {nullptr, "2"},
  };
  for (const auto& [text, expected] : steps) {
    std::filesystem::remove_all(path);
    if (text != nullptr)
      *text == '/' ? (void)std::filesystem::create_directory(path) : testing::WriteFile(path, text);
    EXPECT_EQ(ini.ReadString("Main", "Loop", "d"), expected) << (text ? text : "(none)");
  }
  const std::string kept = "; the settings read from it last are used until it can be read again";
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "Warning: " + path + " cannot be read now (No such file or directory)" + kept,
                "Warning: " + path + " cannot be read now (Is a directory)" + kept}));
}

}  // namespace
}  // namespace forgeval
