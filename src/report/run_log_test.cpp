#include "report/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "report/console.h"
#include "temp_dir.h"
#include "worker_console.h"

namespace forgeval {
namespace {

// A log that cannot be written says so once, whatever stands in its way, and once more, with
// the count of lines lost, when it can be written again; that line also opens what the log
// keeps. (An empty name, which turns the log off without a word, is an end-to-end row.)
TEST(RunLogTest, ALogThatCannotBeWrittenSaysSoOnceAndAgainWhenBack) {
  testing::TempDir dir;
  const std::string path = dir.File("sub/x.Log");
  const std::pair<std::function<void()>, std::string> faults[] = {
      {[] {}, "No such file or directory"},
      {[&] { std::filesystem::create_directories(path); }, "Is a directory"},
      {[&] {
         std::filesystem::create_directory(dir.File("sub"));
         mkfifo(path.c_str(), 0600);
       },
       "not a regular file"},
  };
  for (const auto& [plant, reason] : faults) {
    SCOPED_TRACE(reason);
    std::filesystem::remove_all(dir.File("sub"));
    plant();
    RunLog log;
    const std::string lost = testing::ConsoleOf([&] {
      log.Open(dir.path(), "sub\\x.Log");  // a header of 5 lines
      LogMessage("one");
      LogBlankLine();
    });
    EXPECT_EQ(lost, "Warning: the log " + path + " cannot be written (" + reason +
                        "); its lines are lost until it can be\n");
    std::filesystem::remove_all(dir.File("sub"));
    std::filesystem::create_directory(dir.File("sub"));
    const std::string back = testing::ConsoleOf([&] {
      LogMessage("two \x1b[2J\r%s", "\x07");
      LogMessage("three");
    });
    EXPECT_EQ(back, "Warning: the log " + path + " can be written again; 7 lines were lost\n");
    EXPECT_EQ(testing::ReadFile(path),
              "Warning: the log " + path +
                  " can be written again; 7 lines were lost\ntwo \\x1b[2J\\x0d\\x07\nthree\n");
  }
}

TEST(RunLogTest, ControlBytesAreShownEscaped) {
  std::string all;
  for (int c = 0; c <= 0x20; ++c) all += static_cast<char>(c);
  EXPECT_EQ(EscapeControlBytes(all + "\x7f\xc3\xa9"),
            "\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\t\n\\x0b\\x0c\\x0d\\x0e\\x0f\\x10\\x11"
            "\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1a\\x1b\\x1c\\x1d\\x1e\\x1f \x7f\xc3\xa9");
}

}  // namespace
}  // namespace forgeval
