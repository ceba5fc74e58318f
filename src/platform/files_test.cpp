#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "temp_dir.h"

namespace forgeval::platform {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

size_t EntriesIn(const std::string& folder) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                           std::filesystem::directory_iterator()));
}

TEST(ReplacementFileTest, ReplacesTheTargetOnlyWhenCommitted) {
  TempDir dir;
  const std::string target = dir.File("CRASH.DMP");
  WriteFile(target, "old");
  {
    ReplacementFile file(target);
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(WriteAllAt(file.fd(), 4, "tail", 4));
    ASSERT_TRUE(WriteAllAt(file.fd(), 0, "head", 4));
    ASSERT_TRUE(SetFileSize(file.fd(), 10));
    EXPECT_EQ(ReadFile(target), "old");  // not yet
    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadFile(target), std::string("headtail\0\0", 10));
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
  struct stat info {};
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  {
    ReplacementFile abandoned(target);
    ASSERT_TRUE(WriteAllAt(abandoned.fd(), 0, "new", 3));
  }
  EXPECT_EQ(ReadFile(target), std::string("headtail\0\0", 10));
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(ReplacementFileTest, ALinkAtTheTargetIsReplacedNotFollowed) {
  TempDir dir;
  WriteFile(dir.File("victim"), "keep");
  std::filesystem::create_symlink(dir.File("victim"), dir.File("CRASH.DMP"));
  ReplacementFile file(dir.File("CRASH.DMP"));
  ASSERT_TRUE(WriteAllAt(file.fd(), 0, "dump", 4));
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(ReadFile(dir.File("victim")), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("CRASH.DMP")));
  EXPECT_EQ(ReadFile(dir.File("CRASH.DMP")), "dump");
}

TEST(ReplacementFileTest, AMissingFolderGivesNoFile) {
  ReplacementFile file("/nonexistent-folder-of-forgeval/CRASH.DMP");
  EXPECT_FALSE(file.valid());
  EXPECT_FALSE(file.Commit());
}

}  // namespace
}  // namespace forgeval::platform
