// The Windows file and disk services, run under Wine by the test command. A small full drive
// is given by tests/windows_disk_test.sh (FORGEVAL_FULL_DRIVE); without it that case skips.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <regex>

#include "platform/disk_faults.h"
#include "platform/disk_io.h"
#include "platform/file_cause.h"
#include "platform/files.h"
#include "platform/win32_error.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

using testing::ReadFile;
constexpr size_t kBlock = 1 << 20;

class WindowsFilesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ClearDiskFault();
    _aligned_free(buffer_);
  }
  std::string Root() const { return dir_.path() + "\\"; }
  // Two blocks, aligned for unbuffered transfers.
  std::byte* const buffer_ =
      static_cast<std::byte*>(_aligned_malloc(2 * kBlock, kDirectIoAlignment));
  testing::TempDir dir_;
};

AsyncBlockIo::Result Transfer(AsyncBlockIo& io, bool write, int fd, std::byte* buffer, size_t bytes,
                              uint64_t offset) {
  write ? io.StartWrite(0, fd, buffer, bytes, offset) : io.StartRead(0, fd, buffer, bytes, offset);
  return io.Finish(0);
}

// A folder or a device is no log file; a partial last line is closed before the next one.
TEST_F(WindowsFilesTest, AppendTakesOrdinaryFilesAndKeepsLinesWhole) {
  for (const std::string& name : {dir_.path(), std::string("NUL")}) {
    errno = 0;
    EXPECT_FALSE(OpenForAppend(name).valid()) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
  int error = 0;
  EXPECT_FALSE(ReadWholeFile(dir_.path(), &error));
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(ReadWholeFile(dir_.File("absent"), &error));
  EXPECT_EQ(FileCauseOf(error, dir_.File("absent")), FileCause::kFileNotFound);
  EXPECT_FALSE(ReadWholeFile(dir_.File("absent\\run.Log"), &error));
  EXPECT_EQ(FileCauseOf(error, dir_.File("absent\\run.Log")), FileCause::kBadPath);

  const std::string log = dir_.File("run.Log");
  testing::WriteFile(log, "cut off");
  UniqueFd first = OpenForAppend(log, true, true), second = OpenForAppend(log, false, true);
  ASSERT_TRUE(first.valid() && second.valid());
  EXPECT_TRUE(AppendWholeLine(first.get(), "one\n") && AppendWholeLine(second.get(), "two\n") &&
              WriteAll(first.get(), "three\n"));
  EXPECT_EQ(ReadWholeFile(log), "cut off\none\ntwo\nthree\n");
  {
    ReplacementFile dump(dir_.File("CRASH.DMP")), abandoned(dir_.File("CRASH.DMP"));
    ASSERT_TRUE(dump.valid() && abandoned.valid());
    // A positioned write leaves the sequential writes' position alone, as pwrite does.
    ASSERT_TRUE(WriteAll(dump.fd(), "12345678") && WriteAllAt(dump.fd(), 0, "head", 4) &&
                WriteAll(dump.fd(), "tail"));
    EXPECT_TRUE(dump.Commit());
  }
  EXPECT_EQ(ReadFile(dir_.File("CRASH.DMP")), "head5678tail");
}

// A symbolic link planted at the log's name is refused, not followed.
TEST_F(WindowsFilesTest, AppendRefusesALink) {
  const std::string target = dir_.File("target"), link = dir_.File("run.Log");
  testing::WriteFile(target, "");
  const DWORD attributes = CreateSymbolicLinkA(link.c_str(), target.c_str(),
                                               SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
                               ? GetFileAttributesA(link.c_str())
                               : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "no symbolic link can be made here (Wine 8 makes none, and follows a Unix "
                    "one even for FILE_FLAG_OPEN_REPARSE_POINT)";
  }
  errno = 0;
  EXPECT_FALSE(OpenForAppend(link).valid());
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ReadFile(target), "");
}

// Errors as their causes: the ones met for real here, and the device errors no healthy drive
// gives.
TEST_F(WindowsFilesTest, ErrorsGiveTheirCauses) {
  DiskFile live, other;
  ASSERT_EQ(live.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
  // A live file refuses even a reader that shares everything: so another instance tells it.
  EXPECT_EQ(CreateFileA(live.path().c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileCauseOf(LastErrno(), live.path()), FileCause::kSharingViolation);
  EXPECT_EQ(FileCauseOf(other.OpenForReading(live.path(), FileMode::kCached), live.path()),
            FileCause::kSharingViolation);
  EXPECT_EQ(
      FileCauseOf(other.CreateUnique(Root() + "absent\\", 'n', FileMode::kCached), other.path()),
      FileCause::kBadPath);
  EXPECT_EQ(RemoveFile(live.path()), 0);
  // A region another handle holds locked.
  const std::string log = dir_.File("run.Log");
  testing::WriteFile(log, "line\n");
  UniqueFd holder = OpenForAppend(log, false, true), reader = OpenForAppend(log, false, true);
  OVERLAPPED region{};
  ASSERT_TRUE(
      LockFileEx(HANDLE(_get_osfhandle(holder.get())), LOCKFILE_EXCLUSIVE_LOCK, 0, 5, 0, &region));
  EXPECT_FALSE(LockFileEx(HANDLE(_get_osfhandle(reader.get())),
                          LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 5, 0, &region));
  EXPECT_EQ(FileCauseOf(LastErrno(), log), FileCause::kLockViolation);
  const struct {
    DWORD error;
    FileCause cause;
  } cases[] = {{ERROR_DISK_FULL, FileCause::kDiskFull},
               {ERROR_HANDLE_DISK_FULL, FileCause::kDiskFull},
               {ERROR_WRITE_PROTECT, FileCause::kAccessDenied},
               {ERROR_CRC, FileCause::kHardIo},
               {ERROR_IO_DEVICE, FileCause::kHardIo},
               {ERROR_CANNOT_MAKE, FileCause::kDirectoryFull},
               {ERROR_INVALID_DRIVE, FileCause::kBadPath},
               {ERROR_NO_SYSTEM_RESOURCES, FileCause::kGeneric}};
  for (const auto& c : cases) {
    EXPECT_EQ(FileCauseOf(ErrnoFromWin32(c.error), "Q:\\m1.TMP"), c.cause) << c.error;
  }
}

// Unbuffered files: unique "m"/"n" names, blocks in flight together and read back, and a
// transfer off the sector grid refused before it is made (Wine would take it; Windows would
// not), whether the transfers overlap or are made one at a time. A cached file takes any.
TEST_F(WindowsFilesTest, UnbufferedTransfersKeepTheSectorGrid) {
  for (const bool overlapped : {true, false}) {
    SCOPED_TRACE(overlapped);
    if (!overlapped) PlantDiskFault({DiskOperation::kAsyncIo, DiskFaultEffect::kFail});
    AsyncBlockIo io(2);
    DiskFile first, cached;
    ASSERT_EQ(first.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
    ASSERT_EQ(cached.CreateUnique(Root(), 'n', FileMode::kCached), 0);
    const std::regex name(R"(.*\\[mn][0-9A-F]{1,4}\.TMP)", std::regex::icase);
    EXPECT_TRUE(std::regex_match(first.path(), name) && std::regex_match(cached.path(), name))
        << first.path() << " " << cached.path();
    for (size_t k = 0; k < 2 * kBlock; ++k) buffer_[k] = std::byte(k % 251);
    io.StartWrite(0, first.fd(), buffer_, kBlock, 0);
    io.StartWrite(1, first.fd(), buffer_ + kBlock, kBlock, kBlock);
    EXPECT_EQ(io.Finish(0).bytes + io.Finish(1).bytes, 2 * kBlock);
    std::vector<std::byte> written(buffer_, buffer_ + 2 * kBlock);
    memset(buffer_, 0, 2 * kBlock);
    io.StartRead(1, first.fd(), buffer_ + kBlock, kBlock, kBlock);
    io.StartRead(0, first.fd(), buffer_, kBlock, 0);
    EXPECT_EQ(io.Finish(1).bytes + io.Finish(0).bytes, 2 * kBlock);
    EXPECT_EQ(memcmp(written.data(), buffer_, 2 * kBlock), 0);
    const AsyncBlockIo::Result end = Transfer(io, false, first.fd(), buffer_, kBlock, 2 * kBlock);
    EXPECT_EQ(end.bytes + static_cast<size_t>(end.error), 0u);
    const struct {
      size_t at, bytes;
      uint64_t offset;
    } misaligned[] = {{512, kBlock, 0}, {0, kBlock - 512, 0}, {0, kBlock, 512}};
    for (const auto& m : misaligned) {
      for (const bool write : {true, false}) {
        const AsyncBlockIo::Result refused =
            Transfer(io, write, first.fd(), buffer_ + m.at, m.bytes, m.offset);
        EXPECT_EQ(refused.error, EINVAL) << m.at << " " << m.bytes << " " << m.offset;
        EXPECT_EQ(Transfer(io, write, cached.fd(), buffer_ + m.at, m.bytes, m.offset).error, 0);
      }
    }
    EXPECT_EQ(Transfer(io, false, first.fd(), buffer_, kBlock, kBlock).bytes, kBlock);
    EXPECT_EQ(memcmp(written.data() + kBlock, buffer_, kBlock), 0);  // nothing misaligned landed
    EXPECT_EQ(first.Flush(), 0);
    EXPECT_EQ(first.Reserve(4 * kBlock), 0);
    for (DiskFile* file : {&first, &cached}) {
      EXPECT_EQ(RemoveFile(file->path()), 0);
      EXPECT_EQ(file->Close(), 0);
      EXPECT_FALSE(testing::FileExists(file->path()));
    }
  }
}

// A live run's files and files the program did not mark stay; the program's own closed files
// go where the volume keeps the mark (named streams; Wine has none).
TEST_F(WindowsFilesTest, LeftoverRemovalKeepsLiveAndUnmarkedFiles) {
  DiskFile live, closed;
  ASSERT_EQ(live.CreateUnique(Root(), 'm', FileMode::kUnbuffered), 0);
  ASSERT_EQ(closed.CreateUnique(Root(), 'n', FileMode::kUnbuffered), 0);
  ASSERT_EQ(closed.Close(), 0);
  const std::string operators = dir_.File("m12.TMP");
  testing::WriteFile(operators, "kept");
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationA((dir_.path().substr(0, 3)).c_str(), nullptr, 0, nullptr,
                                    nullptr, &flags, nullptr, 0));
  const bool marks = (flags & FILE_NAMED_STREAMS) != 0;
  const std::vector<LeftoverFile> removed = RemoveLeftoverFiles(Root());
  EXPECT_EQ(removed.size(), marks ? 1u : 0u);
  EXPECT_TRUE(testing::FileExists(live.path()) && testing::FileExists(operators));
  EXPECT_EQ(testing::FileExists(closed.path()), !marks);
  EXPECT_EQ(RemoveFile(live.path()), 0);
}

// "Drive" entries: a letter gives its drive's root, a folder stays a folder; the probe and the
// free space answer for a real folder and not for a missing drive.
TEST_F(WindowsFilesTest, DriveEntriesAndFolders) {
  const std::pair<const char*, const char*> cases[] = {{"C", "C:\\"},
                                                       {"C:", "C:\\"},
                                                       {"c:\\", "c:\\"},
                                                       {"C:/", "C:\\"},
                                                       {"D:\\burn-in/", "D:\\burn-in\\"},
                                                       {"burn-in", "burn-in\\"}};
  for (const auto& [entry, root] : cases) EXPECT_EQ(DriveRoot(entry), root) << entry;
  EXPECT_TRUE(ProbeFolderWritable(Root()));
  EXPECT_FALSE(testing::FileExists(Root() + "~temp.tmp"));
  EXPECT_GT(FreeBytesAvailable(Root()).value_or(0), 0u);
  char missing[] = "B:\\";
  for (; missing[0] > 'A' && GetDriveTypeA(missing) != DRIVE_NO_ROOT_DIR; --missing[0]) {
  }
  EXPECT_FALSE(ProbeFolderWritable(missing) || FreeBytesAvailable(missing));
}

// A drive that fills up: the write that finds no room gives the disk-full cause, and a log
// line that does not fit is taken back whole.
TEST_F(WindowsFilesTest, AFullDriveIsReportedFull) {
  const char* drive = getenv("FORGEVAL_FULL_DRIVE");
  if (drive == nullptr) GTEST_SKIP() << "needs a small drive: tests/windows_disk_test.sh maps one";
  const std::string root = DriveRoot(drive), log = root + "run.Log";
  UniqueFd fd = OpenForAppend(log, false, true);
  ASSERT_TRUE(fd.valid());
  EXPECT_TRUE(AppendWholeLine(fd.get(), "fits\n"));
  AsyncBlockIo io(1);
  DiskFile file;
  ASSERT_EQ(file.CreateUnique(root, 'm', FileMode::kUnbuffered), 0);
  AsyncBlockIo::Result result{kBlock, 0};
  // Windows refuses the write that does not fit; Wine writes what fits, then refuses.
  for (uint64_t k = 0; k < 64 && result.error == 0; ++k) {
    result = Transfer(io, true, file.fd(), buffer_, kBlock, k * kBlock);
  }
  EXPECT_EQ(FileCauseOf(result.error, file.path()), FileCause::kDiskFull);
  EXPECT_FALSE(AppendWholeLine(fd.get(), std::string(kBlock / 16, 'x') + "\n"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(ReadFile(log), "fits\n");
  EXPECT_EQ(RemoveFile(file.path()), 0);
  fd = UniqueFd();
  DeleteFileA(log.c_str());
}

}  // namespace
}  // namespace forgeval::platform
