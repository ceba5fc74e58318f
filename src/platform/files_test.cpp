#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "loop_mount.h"
#include "platform/disk_faults.h"
#include "platform/disk_io.h"
#include "platform/file_cause.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

using enum FileMode;
using enum DiskFaultEffect;
using testing::ReadFile;
constexpr size_t kBlock = 1 << 20;

// Writes or reads one block at offset 0 through slot 0: the error and the bytes moved.
std::pair<int, size_t> Transfer(AsyncBlockIo& io, bool write, int fd, std::byte* buffer) {
  write ? io.StartWrite(0, fd, buffer, kBlock, 0) : io.StartRead(0, fd, buffer, kBlock, 0);
  const AsyncBlockIo::Result result = io.Finish(0);
  return {result.error, result.bytes};
}

class FilesTest : public ::testing::Test {
 protected:
  std::string Root() const { return dir_.path() + "/"; }
  testing::TempDir dir_;
};

class DiskIoTest : public FilesTest {
 protected:
  void TearDown() override {
    ClearDiskFault();
    free(buffer_);
  }
  // Two blocks, aligned for unbuffered transfers.
  std::byte* const buffer_ = static_cast<std::byte*>(aligned_alloc(kDirectIoAlignment, 2 * kBlock));
};

// No helper reports a failure as done: /dev/full refuses every write (ENOSPC) and any
// length, /proc/self/mem reading at address 0; a pipe, a device or a folder is no log file.
TEST_F(FilesTest, FailuresAreReported) {
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  EXPECT_FALSE(WriteAll(full.get(), "line\n"));
  EXPECT_FALSE(WriteAllAt(full.get(), 0, "dump", 4));
  EXPECT_FALSE(SetFileSize(full.get(), 10));
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(ReadWholeFile("/proc/self/mem") || ReadWholeFile(dir_.File("fifo")));
  EXPECT_FALSE(OpenForAppend(dir_.path()).valid() || OpenForAppend(dir_.File("fifo")).valid() ||
               OpenForAppend("/dev/null").valid());
  EXPECT_EQ(errno, EINVAL);
  ReplacementFile missing(dir_.File("absent/CRASH.DMP"));
  EXPECT_FALSE(missing.valid() || missing.Commit());
}

// Lines of two openings of a log follow each other; a dump replaces its file only once
// committed, and leaves no file behind when abandoned or when it cannot take the name.
TEST_F(FilesTest, AppendAndReplace) {
  const std::string log = dir_.File("run.Log"), dump = dir_.File("CRASH.DMP");
  UniqueFd first = OpenForAppend(log), through = OpenForAppend(log, true);
  EXPECT_EQ(fcntl(first.get(), F_GETFL) ^ fcntl(through.get(), F_GETFL), O_DSYNC);
  EXPECT_TRUE(WriteAll(first.get(), "one\n") && WriteAll(through.get(), "two\n") &&
              WriteAll(first.get(), "three\n"));
  EXPECT_EQ(ReadWholeFile(log), "one\ntwo\nthree\n");
  testing::WriteFile(dump, "old");
  {
    ReplacementFile file(dump), abandoned(dump);
    ASSERT_TRUE(WriteAllAt(file.fd(), 4, "tail", 4) && WriteAllAt(file.fd(), 0, "head", 4) &&
                SetFileSize(file.fd(), 10));
    EXPECT_EQ(ReadFile(dump), "old");
    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadFile(dump), std::string("headtail\0\0", 10));
  std::filesystem::create_directories(dir_.File("folder/inside"));
  EXPECT_FALSE(ReplacementFile(dir_.File("folder")).Commit());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 3);
}

// Each error number keeps its cause, by the code a report shows (1 generic ... 13 disk full);
// ENOENT tells a missing file (2) from a missing folder on the way (3). ENOSPC by inodes or by
// room: DiskIoTest.RealFailuresAreReported.
TEST_F(FilesTest, FileCauseOfEachErrorNumber) {
  std::string codes;
  for (int error : {0,      ENOTDIR, ENAMETOOLONG, ELOOP,  EMFILE,    ENFILE, EACCES, EPERM,
                    EROFS,  EISDIR,  EBADF,        ESPIPE, EOVERFLOW, ENXIO,  EIO,    ETXTBSY,
                    EAGAIN, ENOSPC,  EDQUOT,       EFBIG,  EINVAL,    EEXIST, EINTR}) {
    codes += std::to_string(static_cast<int>(FileCauseOf(error, dir_.File("f")))) + " ";
  }
  for (const std::string& path : {dir_.File("absent.TMP"), std::string("relative-absent.TMP"),
                                  dir_.File("absent/mAbCdEf.TMP")}) {
    codes += std::to_string(static_cast<int>(FileCauseOf(ENOENT, path))) + " ";
  }
  EXPECT_EQ(codes, "0 3 3 3 4 4 5 5 5 5 6 9 9 9 10 11 12 13 13 13 1 1 1 2 2 3 ");
}

// An earlier probe's file is replaced (never written); a link there is neither followed nor
// removed.
TEST_F(DiskIoTest, ProbeReplacesOnlyItsOwnFile) {
  const std::string probe = dir_.File("~temp.tmp");
  testing::WriteFile(dir_.File("other"), "");
  ASSERT_EQ(link(dir_.File("other").c_str(), probe.c_str()), 0);
  EXPECT_TRUE(ProbeFolderWritable(Root()) && !testing::FileExists(probe));
  ASSERT_EQ(symlink(dir_.File("target").c_str(), probe.c_str()), 0);
  EXPECT_FALSE(ProbeFolderWritable(Root()) || !std::filesystem::is_symlink(probe) ||
               testing::FileExists(dir_.File("target")));
}

// A block read back through the slots is the one written, with or without the kernel's
// asynchronous I/O; planted read faults reach the caller; past the end a read gets nothing.
TEST_F(DiskIoTest, AsyncTransfersAndPlantedReadFaults) {
  for (bool kernel_io : {true, false}) {
    DiskFile file;
    ASSERT_EQ(file.CreateUnique(Root(), 'm', kUnbuffered), 0);
    if (!kernel_io) PlantDiskFault({DiskOperation::kAsyncIo, kFail, ENOSYS});
    AsyncBlockIo io(2);
    memset(buffer_, 7, kBlock);
    ASSERT_EQ(Transfer(io, true, file.fd(), buffer_), std::pair(0, kBlock));
    const std::tuple<DiskFaultEffect, int, size_t, long> reads[] = {
        {kCorrupt, 0, kBlock, kBlock - 1},
        {kFail, EIO, 0, kBlock},
        {kShort, 0, kBlock / 2, kBlock}};
    for (const auto& [effect, error, bytes, intact] : reads) {
      PlantDiskFault({DiskOperation::kRead, effect, error});
      EXPECT_EQ(Transfer(io, false, file.fd(), buffer_ + kBlock), std::pair(error, bytes));
      EXPECT_EQ(std::count(buffer_ + kBlock, buffer_ + 2 * kBlock, std::byte{7}), intact);
    }
    io.StartRead(0, file.fd(), buffer_, kBlock, 0);
    io.StartRead(1, file.fd(), buffer_ + kBlock, kBlock, kBlock);
    EXPECT_TRUE(io.busy(0) && io.busy(1) && io.Finish(1).bytes == 0);
    io.FinishAll();
    EXPECT_FALSE(io.busy(0) || io.busy(1));
  }
}

// Every disk helper reports what really happened: the modes it opened, a filesystem out of
// inodes, then out of room, a read-only mount, a closed descriptor, a misaligned buffer.
TEST_F(DiskIoTest, RealFailuresAreReported) {
  testing::LoopMount full({.image_bytes = 16ull << 20, .inodes = 16});
  testing::LoopMount read_only({.image_bytes = 16ull << 20, .read_only = true});
  const std::string root = full.path() + "/", ro = read_only.path() + "/";
  if (!(full.skip_reason() + read_only.skip_reason()).empty()) GTEST_SKIP() << full.skip_reason();
  DiskFile target, copy, filler, direct, closed, source, spare;
  ASSERT_EQ(target.CreateUnique(root, 'm', kUnbuffered) + copy.CreateUnique(root, 'n', kCached) +
                direct.CreateUnique(Root(), 'm', kUnbuffered),
            0);
  PlantDiskFault({DiskOperation::kDirectIo, kFail, EINVAL});
  ASSERT_EQ(filler.CreateUnique(root, 'f', kUnbuffered), 0);  // written through instead
  ASSERT_EQ(source.OpenForReading(filler.path(), kCached), 0);
  ASSERT_EQ(symlink(filler.path().c_str(), dir_.File("link").c_str()), 0);
  int error = 0;
  for (int i = 0; i < 100 && !error; ++i) error = spare.CreateUnique(root, 'i', kCached);
  EXPECT_EQ(FileCauseOf(error, spare.path()), FileCause::kDirectoryFull);  // room is left
  EXPECT_TRUE(FreeBytesAvailable(root) == full.AvailableBytes() && full.AvailableBytes() > kBlock);
  error = 0;
  for (int i = 0; i < 64 && !error; ++i) {
    error = WriteAll(filler.fd(), std::string(kBlock, 'x')) ? filler.Flush() : errno;
  }
  EXPECT_EQ(FileCauseOf(error, filler.path()), FileCause::kDiskFull);
  EXPECT_LT(FreeBytesAvailable(root).value_or(kBlock), kBlock);
  const auto flags = [](const DiskFile& file) {
    return (fcntl(file.fd(), F_GETFL) & (O_DIRECT | O_DSYNC)) | static_cast<int>(file.mode());
  };
  AsyncBlockIo io(1);
  // In this order: what each reports, and what it should (-1: a failure without an errno).
  const struct {
    const char* what;
    int reported, expected;
  } cases[] = {
      {"unbuffered", flags(target), O_DIRECT | O_DSYNC | int(kUnbuffered)},
      {"cached", flags(copy), int(kCached)},
      {"direct I/O refused", flags(filler), O_DSYNC | int(kWriteThrough)},
      {"create, no inode", spare.CreateUnique(root, 'i', kCached), ENOSPC},
      {"reserve, no room", target.Reserve(4 * kBlock), ENOSPC},
      {"write, no room", Transfer(io, true, target.fd(), buffer_).first, ENOSPC},
      {"misaligned", Transfer(io, true, direct.fd(), buffer_ + 1).first, EINVAL},
      {"write a reader", Transfer(io, true, source.fd(), buffer_).first, EBADF},
      {"read, closed", Transfer(io, false, closed.fd(), buffer_).first, EBADF},
      {"reserve, closed", closed.Reserve(kBlock), EBADF},
      {"flush, closed", closed.Flush(), EBADF},
      {"close, closed", closed.Close(), EBADF},
      {"remove, read-only", RemoveFile(ro + "lost+found"), EROFS},
      {"remove, missing", RemoveFile(Root() + "absent"), ENOENT},
      {"open, missing", spare.OpenForReading(Root() + "absent", kCached), ENOENT},
      {"open a link", spare.OpenForReading(dir_.File("link"), kUnbuffered), ELOOP},
      {"probe, read-only", ProbeFolderWritable(ro) ? 0 : -1, -1},
      {"free space, no folder", FreeBytesAvailable(Root() + "no/") ? 0 : -1, -1},
      {"create, read-only", spare.CreateUnique(ro, 'n', kCached), EROFS},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reported, c.expected) << c.what;
  EXPECT_EQ(spare.path(), ro + "nXXXXXX.TMP");  // the name that was asked for
}

}  // namespace
}  // namespace forgeval::platform
