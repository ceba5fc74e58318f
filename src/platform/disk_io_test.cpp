#include "platform/disk_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "device_traffic.h"
#include "loop_mount.h"
#include "platform/disk_faults.h"
#include "platform/memory_budget.h"
#include "temp_dir.h"
#include "text_match.h"

namespace forgeval::platform {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr size_t kBlock = 1 << 20;

size_t FilesIn(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

class DiskIoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(buffers_); }
  void TearDown() override { ClearDiskFault(); }
  std::string Root() const { return dir_.path() + "/"; }
  // Block i of two, aligned for unbuffered transfers.
  std::byte* Buffer(size_t i) const {
    return static_cast<std::byte*>(buffers_.data()) + i * kBlock;
  }
  // A new unbuffered file in the folder.
  DiskFile NewFile() const {
    DiskFile file;
    EXPECT_EQ(file.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
    EXPECT_EQ(file.mode(), FileMode::kUnbuffered);
    return file;
  }

  TempDir dir_;
  BudgetedBlock buffers_{2 * kBlock};
};

TEST_F(DiskIoTest, ProbeCreatesAndRemovesItsFile) {
  EXPECT_TRUE(ProbeFolderWritable(Root()));
  EXPECT_EQ(FilesIn(dir_.path()), 0u);
}

TEST_F(DiskIoTest, ProbeFailsForAMissingFolderAndMakesNothing) {
  EXPECT_FALSE(ProbeFolderWritable(dir_.File("absent") + "/"));
  EXPECT_EQ(FilesIn(dir_.path()), 0u);
}

TEST_F(DiskIoTest, ProbeRefusesASymbolicLinkAndLeavesItsTargetAlone) {
  TempDir elsewhere;
  const std::string target = elsewhere.File("precious");
  WriteFile(target, "keep me");
  ASSERT_EQ(symlink(target.c_str(), dir_.File("~temp.tmp").c_str()), 0);
  EXPECT_FALSE(ProbeFolderWritable(Root()));
  EXPECT_EQ(ReadFile(target), "keep me");
  struct stat info;
  ASSERT_EQ(lstat(dir_.File("~temp.tmp").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  // A dangling link is refused as well: the probe never creates the file it points to.
  std::filesystem::remove(target);
  EXPECT_FALSE(ProbeFolderWritable(Root()));
  EXPECT_FALSE(FileExists(target));
}

TEST_F(DiskIoTest, ProbeReplacesALeftoverProbeFileWithoutWritingIt) {
  TempDir elsewhere;
  const std::string other_name = elsewhere.File("other");
  WriteFile(other_name, "old content");
  // A hard link: replacing the name must not truncate the file it shares.
  if (link(other_name.c_str(), dir_.File("~temp.tmp").c_str()) != 0) {
    GTEST_SKIP() << "cannot hard-link across these folders";
  }
  EXPECT_TRUE(ProbeFolderWritable(Root()));
  EXPECT_FALSE(FileExists(dir_.File("~temp.tmp")));
  EXPECT_EQ(ReadFile(other_name), "old content");
}

TEST_F(DiskIoTest, ProbeRefusesAFolderOfThatName) {
  ASSERT_EQ(mkdir(dir_.File("~temp.tmp").c_str(), 0755), 0);
  EXPECT_FALSE(ProbeFolderWritable(Root()));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("~temp.tmp")));
}

TEST_F(DiskIoTest, ProbeFailsOnAReadOnlyMount) {
  testing::LoopMount mount({.image_bytes = 16ull << 20, .read_only = true});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  EXPECT_FALSE(ProbeFolderWritable(mount.path() + "/"));
}

TEST_F(DiskIoTest, UniqueFilesAreNewEmptyAndNamedByPrefix) {
  DiskFile first;
  ASSERT_EQ(first.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
  DiskFile second;
  ASSERT_EQ(second.CreateUnique(Root(), 'n', FileMode::kCached), 0);
  EXPECT_TRUE(testing::FullMatch(first.path(), Root() + "m[A-Za-z0-9]{6}\\.TMP")) << first.path();
  EXPECT_TRUE(testing::FullMatch(second.path(), Root() + "n[A-Za-z0-9]{6}\\.TMP")) << second.path();
  EXPECT_EQ(std::filesystem::file_size(first.path()), 0u);
  EXPECT_EQ(std::filesystem::file_size(second.path()), 0u);
  const int flags = fcntl(first.fd(), F_GETFL);
  EXPECT_EQ(first.mode(), FileMode::kUnbuffered);
  EXPECT_NE(flags & O_DIRECT, 0);
  EXPECT_EQ(flags & O_DSYNC, O_DSYNC);
  EXPECT_EQ(fcntl(second.fd(), F_GETFL) & (O_DIRECT | O_DSYNC), 0);
  struct stat info;
  ASSERT_EQ(fstat(first.fd(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(DiskIoTest, RefusedDirectIoLeavesAWriteThroughFile) {
  PlantDiskFault({DiskOperation::kDirectIo, DiskFaultEffect::kFail, EINVAL});
  DiskFile file;
  ASSERT_EQ(file.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
  EXPECT_EQ(file.mode(), FileMode::kWriteThrough);
  const int flags = fcntl(file.fd(), F_GETFL);
  EXPECT_EQ(flags & O_DIRECT, 0);
  EXPECT_EQ(flags & O_DSYNC, O_DSYNC);
  EXPECT_EQ(FilesIn(dir_.path()), 1u);  // no half-made file beside it
}

TEST_F(DiskIoTest, CreationFailureNamesTheFileAskedFor) {
  DiskFile file;
  EXPECT_EQ(file.CreateUnique(dir_.File("absent") + "/", 'n', FileMode::kCached), ENOENT);
  EXPECT_EQ(file.path(), dir_.File("absent") + "/nXXXXXX.TMP");
  PlantDiskFault({DiskOperation::kCreate, DiskFaultEffect::kFail, EMFILE});
  EXPECT_EQ(file.CreateUnique(Root(), 'm', FileMode::kCached), EMFILE);
  EXPECT_EQ(FilesIn(dir_.path()), 0u);
}

// Writes `blocks` blocks through `io`, block k filled with the byte k + 1, and reads them
// back; returns false at the first difference.
bool RoundTrip(AsyncBlockIo& io, const DiskFile& file, std::byte* out, std::byte* in, int blocks) {
  for (int k = 0; k < blocks; ++k) {
    memset(out, k + 1, kBlock);
    io.StartWrite(0, file.fd(), out, kBlock, static_cast<uint64_t>(k) * kBlock);
    AsyncBlockIo::Result written = io.Finish(0);
    if (written.error != 0 || written.bytes != kBlock) return false;
  }
  for (int k = 0; k < blocks; ++k) {
    io.StartRead(1, file.fd(), in, kBlock, static_cast<uint64_t>(k) * kBlock);
    AsyncBlockIo::Result read = io.Finish(1);
    memset(out, k + 1, kBlock);
    if (read.error != 0 || read.bytes != kBlock || memcmp(in, out, kBlock) != 0) return false;
  }
  return true;
}

TEST_F(DiskIoTest, AsyncTransfersWriteAndReadTheDevice) {
  std::byte* out = Buffer(0);
  DiskFile file = NewFile();
  ASSERT_EQ(file.Reserve(8 * kBlock), 0);
  const testing::DeviceTraffic before = testing::ProcessDeviceTraffic();
  AsyncBlockIo io(2);
  EXPECT_TRUE(RoundTrip(io, file, out, out + kBlock, 8));
  const testing::DeviceTraffic after = testing::ProcessDeviceTraffic();
  if (before.known) {
    EXPECT_GE(after.write_bytes - before.write_bytes, 8 * kBlock);
    EXPECT_GE(after.read_bytes - before.read_bytes, 8 * kBlock);
  }
  // Past the end of the file a read delivers nothing.
  io.StartRead(0, file.fd(), out, kBlock, 8 * kBlock);
  AsyncBlockIo::Result end = io.Finish(0);
  EXPECT_EQ(end.error, 0);
  EXPECT_EQ(end.bytes, 0u);
}

TEST_F(DiskIoTest, WithoutKernelAsyncIoTransfersAreMadeWhenFinished) {
  std::byte* out = Buffer(0);
  DiskFile file = NewFile();
  PlantDiskFault({DiskOperation::kAsyncIo, DiskFaultEffect::kFail, ENOSYS});
  AsyncBlockIo io(2);
  EXPECT_TRUE(RoundTrip(io, file, out, out + kBlock, 3));
  EXPECT_EQ(std::filesystem::file_size(file.path()), 3 * kBlock);
}

TEST_F(DiskIoTest, FinishAllLeavesEverySlotIdle) {
  std::byte* block = Buffer(0);
  DiskFile file = NewFile();
  ASSERT_EQ(file.Reserve(2 * kBlock), 0);
  AsyncBlockIo io(3);
  io.StartRead(0, file.fd(), block, kBlock, 0);
  io.StartRead(2, file.fd(), block + kBlock, kBlock, kBlock);
  EXPECT_TRUE(io.busy(0));
  EXPECT_FALSE(io.busy(1));
  EXPECT_TRUE(io.busy(2));
  io.FinishAll();
  for (size_t slot = 0; slot < 3; ++slot) EXPECT_FALSE(io.busy(slot));
  // The slots serve again.
  io.StartRead(1, file.fd(), block, kBlock, kBlock);
  EXPECT_EQ(io.Finish(1).bytes, kBlock);
}

TEST_F(DiskIoTest, UnalignedUnbufferedTransferFailsWithEinval) {
  DiskFile file = NewFile();
  AsyncBlockIo io(1);
  io.StartWrite(0, file.fd(), Buffer(0) + 1, kBlock, 0);
  EXPECT_EQ(io.Finish(0).error, EINVAL);
}

TEST_F(DiskIoTest, PlantedTransferFaults) {
  std::byte* block = Buffer(0);
  DiskFile file = NewFile();
  AsyncBlockIo io(1);

  PlantDiskFault({DiskOperation::kWrite, DiskFaultEffect::kFail, ENOSPC, 1});
  memset(block, 7, kBlock);
  io.StartWrite(0, file.fd(), block, kBlock, 0);
  EXPECT_EQ(io.Finish(0).bytes, kBlock);  // the first write passes
  io.StartWrite(0, file.fd(), block, kBlock, kBlock);
  AsyncBlockIo::Result failed = io.Finish(0);
  EXPECT_EQ(failed.error, ENOSPC);
  EXPECT_EQ(failed.bytes, 0u);
  EXPECT_EQ(std::filesystem::file_size(file.path()), kBlock);  // nothing was written

  PlantDiskFault({DiskOperation::kWrite, DiskFaultEffect::kShort, 0});
  io.StartWrite(0, file.fd(), block, kBlock, kBlock);
  EXPECT_EQ(io.Finish(0).bytes, kBlock / 2);

  PlantDiskFault({DiskOperation::kRead, DiskFaultEffect::kFail, EIO});
  io.StartRead(0, file.fd(), block, kBlock, 0);
  EXPECT_EQ(io.Finish(0).error, EIO);

  PlantDiskFault({DiskOperation::kRead, DiskFaultEffect::kShort, 0});
  io.StartRead(0, file.fd(), block, kBlock, 0);
  EXPECT_EQ(io.Finish(0).bytes, kBlock / 2);

  PlantDiskFault({DiskOperation::kRead, DiskFaultEffect::kCorrupt, 0});
  io.StartRead(0, file.fd(), block, kBlock, 0);
  EXPECT_EQ(io.Finish(0).bytes, kBlock);
  size_t differing = 0;
  for (size_t k = 0; k < kBlock; ++k) differing += block[k] != std::byte{7};
  EXPECT_EQ(differing, 1u);
}

TEST_F(DiskIoTest, CopyWritesNewDataAtTheSameOffsets) {
  std::string content(3 * kBlock, '\0');
  for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>(k * 7 / 5);
  WriteFile(dir_.File("source"), content);
  DiskFile source;
  ASSERT_EQ(source.OpenForReading(dir_.File("source"), FileMode::kCached), 0);
  DiskFile copy;
  ASSERT_EQ(copy.CreateUnique(Root(), 'n', FileMode::kCached), 0);
  const testing::DeviceTraffic before = testing::ProcessDeviceTraffic();
  for (uint64_t k = 0; k < 3; ++k) {
    size_t copied = 0;
    ASSERT_EQ(copy.CopyFrom(source, k * kBlock, kBlock, &copied), 0);
    EXPECT_EQ(copied, kBlock);
  }
  size_t copied = 1;
  EXPECT_EQ(copy.CopyFrom(source, 3 * kBlock, kBlock, &copied), 0);
  EXPECT_EQ(copied, 0u);  // the source has ended
  ASSERT_EQ(copy.Flush(), 0);
  const testing::DeviceTraffic after = testing::ProcessDeviceTraffic();
  EXPECT_EQ(ReadFile(copy.path()), content);
  if (before.known) {
    EXPECT_GE(after.write_bytes - before.write_bytes, 3 * kBlock);
  }
  // The copy's blocks are its own: changing the source leaves the copy as it was.
  WriteFile(dir_.File("source"), std::string(3 * kBlock, 'x'));
  EXPECT_EQ(ReadFile(copy.path()), content);
}

TEST_F(DiskIoTest, PlantedCopyFaults) {
  WriteFile(dir_.File("source"), std::string(2 * kBlock, 'a'));
  DiskFile source;
  ASSERT_EQ(source.OpenForReading(dir_.File("source"), FileMode::kCached), 0);
  DiskFile copy;
  ASSERT_EQ(copy.CreateUnique(Root(), 'n', FileMode::kCached), 0);
  size_t copied = 0;
  PlantDiskFault({DiskOperation::kCopy, DiskFaultEffect::kCorrupt, 0, 1});
  ASSERT_EQ(copy.CopyFrom(source, 0, kBlock, &copied), 0);
  ASSERT_EQ(copy.CopyFrom(source, kBlock, kBlock, &copied), 0);
  const std::string copied_content = ReadFile(copy.path());
  ASSERT_EQ(copied_content.size(), 2 * kBlock);
  EXPECT_EQ(copied_content.find_first_not_of('a'), kBlock + kBlock / 2);
  EXPECT_EQ(copied_content.find_last_not_of('a'), kBlock + kBlock / 2);

  PlantDiskFault({DiskOperation::kCopy, DiskFaultEffect::kFail, ENOSPC});
  EXPECT_EQ(copy.CopyFrom(source, 0, kBlock, &copied), ENOSPC);
  EXPECT_EQ(copied, 0u);
  PlantDiskFault({DiskOperation::kCopy, DiskFaultEffect::kShort, 0});
  EXPECT_EQ(copy.CopyFrom(source, 0, kBlock, &copied), 0);
  EXPECT_EQ(copied, kBlock / 2);
}

TEST_F(DiskIoTest, FreeSpaceOfTheFolder) {
  testing::LoopMount mount({.image_bytes = 64ull << 20});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  std::optional<uint64_t> free = FreeBytesAvailable(mount.path() + "/");
  ASSERT_TRUE(free.has_value());
  EXPECT_EQ(*free, mount.AvailableBytes());
  EXPECT_GT(*free, 40ull << 20);
  EXPECT_LT(*free, 64ull << 20);
  WriteFile(mount.path() + "/eight", std::string(8 << 20, 'x'));
  sync();
  std::optional<uint64_t> less = FreeBytesAvailable(mount.path() + "/");
  ASSERT_TRUE(less.has_value());
  EXPECT_LE(*less + (8 << 20), *free);
  EXPECT_FALSE(FreeBytesAvailable(dir_.File("absent") + "/").has_value());
  PlantDiskFault({DiskOperation::kFreeSpace, DiskFaultEffect::kFail, EIO});
  EXPECT_FALSE(FreeBytesAvailable(Root()).has_value());
}

TEST_F(DiskIoTest, RemoveDeletesTheNameOnly) {
  TempDir elsewhere;
  WriteFile(elsewhere.File("target"), "kept");
  ASSERT_EQ(symlink(elsewhere.File("target").c_str(), dir_.File("link").c_str()), 0);
  EXPECT_EQ(RemoveFile(dir_.File("link")), 0);
  EXPECT_EQ(ReadFile(elsewhere.File("target")), "kept");
  EXPECT_EQ(RemoveFile(dir_.File("link")), ENOENT);
  WriteFile(dir_.File("file"), "x");
  PlantDiskFault({DiskOperation::kRemove, DiskFaultEffect::kFail, EACCES});
  EXPECT_EQ(RemoveFile(dir_.File("file")), EACCES);
  EXPECT_TRUE(FileExists(dir_.File("file")));
}

TEST_F(DiskIoTest, PlantedFaultFiresOnceAfterItsSkip) {
  PlantDiskFault({DiskOperation::kRemove, DiskFaultEffect::kFail, EIO, 2});
  EXPECT_FALSE(TakeDiskFault(DiskOperation::kWrite).has_value());  // other kinds not counted
  EXPECT_FALSE(TakeDiskFault(DiskOperation::kRemove).has_value());
  EXPECT_FALSE(TakeDiskFault(DiskOperation::kRemove).has_value());
  std::optional<DiskFault> fired = TakeDiskFault(DiskOperation::kRemove);
  ASSERT_TRUE(fired.has_value());
  EXPECT_EQ(fired->error, EIO);
  EXPECT_FALSE(TakeDiskFault(DiskOperation::kRemove).has_value());
}

}  // namespace
}  // namespace forgeval::platform
