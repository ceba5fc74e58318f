#include "platform/file_cause.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "loop_mount.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

TEST(FileCauseTest, ErrorNumbersByCondition) {
  testing::TempDir dir;
  const std::string file = dir.File("file");
  struct Case {
    int error;
    FileCause cause;
  };
  const Case cases[] = {
      {0, FileCause::kNone},
      {ENOTDIR, FileCause::kBadPath},
      {ENAMETOOLONG, FileCause::kBadPath},
      {ELOOP, FileCause::kBadPath},
      {EMFILE, FileCause::kTooManyOpenFiles},
      {ENFILE, FileCause::kTooManyOpenFiles},
      {EACCES, FileCause::kAccessDenied},
      {EPERM, FileCause::kAccessDenied},
      {EROFS, FileCause::kAccessDenied},
      {EISDIR, FileCause::kAccessDenied},
      {EBADF, FileCause::kInvalidFile},
      {ESPIPE, FileCause::kBadSeek},
      {EOVERFLOW, FileCause::kBadSeek},
      {ENXIO, FileCause::kBadSeek},
      {EIO, FileCause::kHardIo},
      {ETXTBSY, FileCause::kSharingViolation},
      {EAGAIN, FileCause::kLockViolation},
      {ENOSPC, FileCause::kDiskFull},
      {EDQUOT, FileCause::kDiskFull},
      {EFBIG, FileCause::kDiskFull},
      {EINVAL, FileCause::kGeneric},
      {EEXIST, FileCause::kGeneric},
      {EINTR, FileCause::kGeneric},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(FileCauseOf(c.error, file), c.cause);
  }
}

TEST(FileCauseTest, MissingFileOrMissingFolderOnTheWay) {
  testing::TempDir dir;
  EXPECT_EQ(FileCauseOf(ENOENT, dir.File("absent.TMP")), FileCause::kFileNotFound);
  EXPECT_EQ(FileCauseOf(ENOENT, dir.File("absent/mAbCdEf.TMP")), FileCause::kBadPath);
  EXPECT_EQ(FileCauseOf(ENOENT, "relative-absent.TMP"), FileCause::kFileNotFound);
}

// A real full filesystem: no inodes left is a full directory, no blocks left a full disk.
TEST(FileCauseTest, FullFilesystemByInodesOrByBlocks) {
  testing::LoopMount mount({.image_bytes = 16ull << 20, .inodes = 16});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  int error = 0;
  std::string failed;
  for (int i = 0; i < 100 && error == 0; ++i) {
    failed = mount.path() + "/f" + std::to_string(i);
    UniqueFd fd(open(failed.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (!fd.valid()) error = errno;
  }
  ASSERT_EQ(error, ENOSPC);
  EXPECT_EQ(FileCauseOf(error, failed), FileCause::kDirectoryFull);

  // One more file in place of the first, then its blocks until no room is left: a full disk,
  // whatever the inodes say.
  unlink((mount.path() + "/f0").c_str());
  const std::string big = mount.path() + "/big";
  UniqueFd fd(open(big.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(fd.valid());
  std::string chunk(1 << 20, 'x');
  error = 0;
  for (int i = 0; i < 64 && error == 0; ++i) {
    if (write(fd.get(), chunk.data(), chunk.size()) < 0) error = errno;
    if (error == 0 && fsync(fd.get()) != 0) error = errno;
  }
  ASSERT_EQ(error, ENOSPC);
  EXPECT_EQ(FileCauseOf(error, big), FileCause::kDiskFull);
}

}  // namespace
}  // namespace forgeval::platform
