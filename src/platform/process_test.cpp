#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

TEST(ProcessTest, ProgramPathIsThisExecutable) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_TRUE(path.ends_with("/forgeval_unit_tests")) << path;
  EXPECT_EQ(ProgramFolder() + "/forgeval_unit_tests", path);
}

TEST(ProcessTest, FolderOfPrefersTheLastSlash) {
  EXPECT_EQ(FolderOf("/opt/forgeval/forgeval"), "/opt/forgeval");
  EXPECT_EQ(FolderOf("C:\\Tools\\forgeval.exe"), "C:\\Tools");
  EXPECT_EQ(FolderOf("a\\b/c\\d"), "a\\b");
  EXPECT_EQ(FolderOf("forgeval"), "");
  EXPECT_EQ(WithForwardSlashes(".\\logs\\run.Log"), "./logs/run.Log");
}

TEST(FilesTest, AppendRefusesLinksFoldersAndPipes) {
  testing::TempDir dir;
  const std::string target = dir.File("target");
  testing::WriteFile(target, "");
  ASSERT_EQ(symlink(target.c_str(), dir.File("link").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(OpenForAppend(dir.File("link")).valid());
  EXPECT_FALSE(OpenForAppend(dir.path()).valid());
  EXPECT_FALSE(OpenForAppend(dir.File("fifo")).valid());
  EXPECT_FALSE(ReadWholeFile(dir.File("fifo")).has_value());

  UniqueFd file = OpenForAppend(dir.File("new.Log"));
  ASSERT_TRUE(file.valid());
  EXPECT_TRUE(WriteAll(file.get(), "one\n"));
  UniqueFd again = OpenForAppend(dir.File("new.Log"));
  EXPECT_TRUE(WriteAll(again.get(), "two\n"));
  EXPECT_EQ(ReadWholeFile(dir.File("new.Log")).value_or(""), "one\ntwo\n");
}

}  // namespace
}  // namespace forgeval::platform
