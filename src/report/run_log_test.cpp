#include "report/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "temp_dir.h"
#include "text_match.h"

namespace forgeval {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;

const char kStamp[] = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";

class RunLogTest : public ::testing::Test {
 protected:
  void OpenLog() {
    log_.Open(dir_.path(), "run.Log");
    log_.SetTimestamps(true);
  }
  std::string Content() const { return ReadFile(dir_.File("run.Log")); }

  TempDir dir_;
  RunLog log_;
};

TEST_F(RunLogTest, HeaderLinesBlankLinesAndFooter) {
  OpenLog();
  LogBlankLine();
  EXPECT_EQ(LogMessage("--- Loop %d of %d ---", 1, 2), 1);
  EXPECT_EQ(LogThreadMessage(3, "Testing %s...", "DRAM"), 1);
  LogClose();
  const std::string expected =
      std::string("Forgeval 1.3\n") + std::string(51, '-') + "\n\nStarted at:\t" + kStamp +
      "\n\n\n" + kStamp + " : --- Loop 1 of 2 ---\nThread 3 : " + kStamp +
      " : Testing DRAM...\n\nClosed at:\t" + kStamp + "\n" + std::string(41, '-') + "\n\n";
  EXPECT_TRUE(testing::FullMatch(Content(), expected)) << Content();
}

TEST_F(RunLogTest, NothingIsWrittenBeforeOpenOrAfterClose) {
  EXPECT_EQ(LogMessage("early"), 0);
  LogBlankLine();
  EXPECT_FALSE(FileExists(dir_.File("run.Log")));
  OpenLog();
  LogClose();
  const std::string closed = Content();
  EXPECT_EQ(LogMessage("late"), 0);
  LogClose();
  EXPECT_EQ(Content(), closed);
}

TEST_F(RunLogTest, LinesWithoutTimestampsAndWithLineWritingOff) {
  log_.Open(dir_.path(), "run.Log");
  EXPECT_EQ(LogMessage("plain"), 1);
  EXPECT_EQ(LogMessage(nullptr), 0);
  log_.SetLineWriting(false);
  EXPECT_EQ(LogMessage("dropped"), 1);
  const std::string content = Content();
  EXPECT_NE(content.find("\nplain\n"), std::string::npos);
  EXPECT_EQ(content.find("dropped"), std::string::npos);
}

TEST_F(RunLogTest, FinishedTextsKeepTheirPercentSignsAndLineFeeds) {
  OpenLog();
  LogMessage("%s", "[***ERROR: 100%d done %s ***]\n");
  EXPECT_NE(Content().find(" : [***ERROR: 100%d done %s ***]\n\n"), std::string::npos);
}

TEST_F(RunLogTest, MessagesAreCutAt2999Characters) {
  OpenLog();
  LogMessage("%s", std::string(5000, 'a').c_str());
  const std::string content = Content();
  const size_t start = content.find("aaaa");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(content.find('\n', start) - start, 2999u);
}

TEST(RunLogRunsTest, TwoRunsAppend) {
  TempDir dir;
  for (const char* run : {"first run", "second run"}) {
    RunLog log;
    log.Open(dir.path(), "run.Log");
    LogMessage("%s", run);
  }
  const std::string content = ReadFile(dir.File("run.Log"));
  const std::string footer_then_header = std::string(41, '-') + "\n\nForgeval 1.3\n";
  EXPECT_NE(content.find(footer_then_header), std::string::npos) << content;
  EXPECT_LT(content.find("first run"), content.find("second run"));
  EXPECT_TRUE(content.ends_with(std::string(41, '-') + "\n\n"));
}

TEST_F(RunLogTest, AbsoluteNameAndBackslashes) {
  mkdir(dir_.File("sub").c_str(), 0755);
  log_.Open("/nonexistent", dir_.File("sub") + "\\abs.Log");
  EXPECT_EQ(log_.path(), dir_.File("sub/abs.Log"));
  EXPECT_TRUE(FileExists(dir_.File("sub/abs.Log")));
}

TEST_F(RunLogTest, UnopenableFileLosesLinesQuietly) {
  log_.Open(dir_.path(), "missing-folder/run.Log");
  EXPECT_EQ(LogMessage("lost"), 0);
  LogClose();
  EXPECT_FALSE(FileExists(dir_.File("missing-folder")));
}

TEST_F(RunLogTest, PlantedSymbolicLinkIsNotFollowed) {
  const std::string target = dir_.File("target");
  testing::WriteFile(target, "keep\n");
  ASSERT_EQ(symlink(target.c_str(), dir_.File("run.Log").c_str()), 0);
  OpenLog();
  EXPECT_EQ(LogMessage("line"), 0);
  EXPECT_EQ(ReadFile(target), "keep\n");
}

TEST_F(RunLogTest, TenWorkersLeaveOnlyWholeLines) {
  OpenLog();
  constexpr int kWorkers = 10;
  constexpr int kLines = 200;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < kWorkers; ++worker) {
    workers.emplace_back([worker] {
      for (int line = 0; line < kLines; ++line) {
        LogThreadMessage(worker, "worker %d line %d %s", worker, line,
                         std::string(100, 'x').c_str());
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  std::istringstream content(Content());
  std::string line;
  const std::string whole =
      std::string(R"(Thread (\d) : )") + kStamp + R"( : worker (\d) line (\d+) x{100})";
  std::set<std::pair<int, int>> seen;
  while (std::getline(content, line)) {
    if (line.rfind("Thread ", 0) != 0) continue;
    const auto groups = testing::MatchGroups(line, whole);
    ASSERT_TRUE(groups) << line;
    EXPECT_EQ((*groups)[0], (*groups)[1]);
    seen.emplace(std::stoi((*groups)[1]), std::stoi((*groups)[2]));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWorkers * kLines));
}

}  // namespace
}  // namespace forgeval
