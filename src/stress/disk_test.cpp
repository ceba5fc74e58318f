#include "stress/disk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sstream>

#include "device_traffic.h"
#include "loop_mount.h"
#include "platform/disk_faults.h"
#include "stress/disk_pair.h"
#include "stress/file_exception.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

using platform::DiskFault;
using platform::DiskFaultEffect;
using platform::DiskOperation;
using platform::UniqueFd;
namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1 << 20, kGiB = 1 << 30, kFile = kDiskFileBytes;
const std::string kM = R"(m[A-Za-z0-9]{6}\.TMP)", kN = R"(n[A-Za-z0-9]{6}\.TMP)";

// One disk worker on a folder of the test's own, in this thread, with a fault planted.
class DiskTestTest : public testing::WorkerHarness {
 protected:
  void TearDown() override {
    platform::ClearDiskFault();
    WorkerHarness::TearDown();
  }
  // `folder`: false leaves the drive's folder missing.
  uint32_t Run(int32_t size, std::optional<DiskFault> fault, bool folder = true) {
    fs::remove_all(drive_);
    if (folder) fs::create_directory(drive_);
    platform::ClearDiskFault();
    if (fault) platform::PlantDiskFault(*fault);
    ClearFailureFlag();
    log_.Open(dir_.path(), "run" + std::to_string(++runs_) + ".Log");  // this run's lines alone
    DiskWorkerArgs args{Root(), 0, size};
    const testing::DeviceTraffic before = testing::ProcessDeviceTraffic();
    const uint32_t exit_code = RunCaptured([&] { return DiskTestThread(uintptr_t(&args)); });
    const testing::DeviceTraffic after = testing::ProcessDeviceTraffic();
    traffic_known_ = before.known;
    read_ = after.read_bytes - before.read_bytes;
    written_ = after.write_bytes - before.write_bytes;
    return exit_code;
  }
  std::string Root() const { return drive_ + "/"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(drive_))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string drive_ = dir_.File("drive");
  bool traffic_known_ = false;
  uint64_t read_ = 0, written_ = 0;
  int runs_ = 0;
};

// Runs that complete: the exact lines on the console and in the log, every file deleted, and
// the device really written and read (by unbuffered I/O, or around the cache when refused).
TEST_F(DiskTestTest, CompletedRunsWriteVerifyAndDelete) {
  struct Case {
    int32_t size;
    std::optional<DiskFault> fault;
    std::string before, after;  // lines around the write line
    uint64_t min_written, max_written, min_read;
    std::string fewer = "";  // why fewer pairs than asked were written
    int64_t asked = 1, written = 1;
  };
  const DiskFault no_free_space{DiskOperation::kFreeSpace, DiskFaultEffect::kFail, EIO};
  const Case cases[] = {
      {1, {}, "", "", kGiB, 2 * kGiB, kGiB + kGiB / 2},
      {0, {}, "", "", 0, kMiB, 0, "0 of 0 file pairs written: Size 0 asks for none", 0, 0},
      {600, no_free_space,
       "Size 600 is more than 500 file pairs: at most 500GB are written on drive " + Root(), "", 0,
       kMiB, 0, "0 of 500 file pairs written: the free space cannot be read", 500, 0},
      {1, DiskFault{DiskOperation::kDirectIo, DiskFaultEffect::kFail, EINVAL}, "",
       "Drive " + Root() +
           " refuses unbuffered I/O: writing through the cache and dropping it before every "
           "read-back",
       0, UINT64_MAX, kGiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(Run(c.size, c.fault), kWorkerCompleted);
    std::vector<std::string> lines = {
        "Thread 0 : " + c.before,
        "Thread 0 : Writting " + std::to_string(c.size) + "GB on drive " + Root() + " ...",
        "Thread 0 : " + c.after,
        "Thread 0 : " + (c.fewer.empty() ? "" : "Drive " + Root() + ": " + c.fewer),
        "Thread 0 : Verifying written data on drive " + Root() + " ..."};
    std::erase(lines, "Thread 0 : ");
    EXPECT_EQ(ConsoleLines(), lines);
    const std::vector<RecordFigure> figures = TakeWorkerOutcome(0).figures;
    ASSERT_GE(figures.size(), 2u);
    EXPECT_EQ(figures[0].name + figures[1].name, "pairs_askedpairs_written");
    EXPECT_EQ(figures[0].value, RecordValue(c.asked));
    EXPECT_EQ(figures[1].value, RecordValue(c.written));
    lines.push_back(lines.back() + "[Done]");
    EXPECT_EQ(LogLines(), lines);
    EXPECT_TRUE(Files().empty());
    EXPECT_FALSE(FailureFlagRaised());
    EXPECT_TRUE(listener_.Drain(0).empty());
    if (traffic_known_) {
      EXPECT_GE(written_, c.min_written);
      EXPECT_LT(written_, c.max_written);
      EXPECT_GE(read_, c.min_read);
    }
  }
}

// A failed file operation or pair that differs: the error on every channel naming the cause
// (or both files), and the files left for the operator, with their bytes when they matter.
TEST_F(DiskTestTest, FailuresNameTheirCauseAndLeaveTheFiles) {
  struct Case {
    DiskFault fault;
    const char* cause;   // the error's cause, or which file holds other data: "first"
                         // (against the pattern) or "second" (the pair is inconsistent)
    std::string files;   // a pattern of the names left, in order
    uint64_t bytes = 0;  // of all the files; 0 when it does not matter
    int32_t size = 1;
    uint64_t at = 0;  // the byte that differs from the pattern
  };
  using enum DiskOperation;
  using enum DiskFaultEffect;
  const std::string kMN = kM + " " + kN, kMMNN = kM + " " + kMN + " " + kN;
  const char *kFull = "The disk is full", *kEnd = "The end of file was reached";
  const char *kHard = "There was a hardware error", *kFirst = "first", *kSecond = "second";
  const Case cases[] = {
      // Data other than the pattern in the first file (the copy takes it along, so both files
      // agree) or in the second: the byte's offset, in the middle of the block.
      {{kWrite, kCorrupt, 0, 3}, kFirst, kMN, 2 * kFile, 1, 3 * kMiB + kMiB / 2},
      {{kRead, kCorrupt, 0, 2}, kFirst, kMN, 2 * kFile, 1, kMiB + kMiB / 2},
      // The copy's and the flush's own failures, by their cause.
      {{kCopy, kFail, ENOSPC, 7}, kFull, kMN, 2 * kFile},
      {{kCopyRead, kFail, EIO, 7}, kHard, kMN, 2 * kFile},
      {{kFlush, kFail, ENOSPC}, kFull, kMN, 2 * kFile},
      {{kFlush, kFail, EIO}, kHard, kMN, 2 * kFile},
      // Pair 0 complete, pair 1 begun: its copy was never made.
      {{kWrite, kFail, ENOSPC, kDiskBlocksPerFile + 5}, kFull, kMMNN, 3 * kFile, 10},
      {{kCopy, kCorrupt, 0, 300}, kSecond, kMN, 2 * kFile},
      {{kWrite, kShort, 0, 2}, kFull, kMN},
      {{kWrite, kFail, EIO, 3}, kHard, kMN},
      // The second file's name: the first file already exists and stays.
      {{kCreate, kFail, EMFILE, 1}, "The permitted number of open files was exceeded", kM},
      // A copy write cut short in the last block is a full disk; a verification read that
      // delivers half a block is the end of the file, though the rest of the buffer holds an
      // earlier block of the same pattern.
      {{kCopy, kShort, 0, kDiskBlocksPerFile - 1}, kFull, kMN, 2 * kFile},
      {{kRead, kShort, 0, 5}, kEnd, kMN, 2 * kFile},
      // The first file is gone, the second stays.
      {{kRemove, kFail, EACCES, 1}, "The file could not be accessed", kN, kFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cause) + " " + std::to_string(static_cast<int>(c.fault.operation)));
    EXPECT_EQ(Run(c.size, c.fault), kWorkerFailed);
    const std::vector<std::string> files = Files();
    std::string names;
    uint64_t bytes = 0;
    for (const std::string& name : files) {
      names += (names.empty() ? "" : " ") + name;
      bytes += fs::file_size(drive_ + "/" + name);
      // Kept for the operator: no later run takes them for a killed run's leftovers.
      EXPECT_LT(getxattr((drive_ + "/" + name).c_str(), "user.forgeval", nullptr, 0), 0) << name;
    }
    EXPECT_TRUE(testing::FullMatch(names, c.files)) << names;
    EXPECT_TRUE(c.bytes == 0 || bytes == c.bytes) << bytes;
    const std::string error =
        c.cause == kFirst ? "Drive " + Root() + ", " + Root() + files.at(0) +
                                " holds other data than was written at byte " + std::to_string(c.at)
        : c.cause == kSecond ? "Drive results are inconsistent( File1 = " + Root() + files.at(0) +
                                   ", File2 = " + Root() + files.at(1) + ")"
                             : "Drive " + Root() + ",  " + c.cause;
    ExpectErrorReported(testing::Escaped("[*** ERROR Thread 0 : " + error + " ***]"));
  }
  // The folder is probed before the buffers are taken from the memory budget: a folder that
  // cannot be written is reported as such on a machine short of memory.
  platform::SetBudgetRefusalForTesting([](size_t) { return true; });
  EXPECT_EQ(Run(1, {}), kWorkerFailed);
  ExpectErrorReported(testing::Escaped("Out of memory."));
  EXPECT_EQ(Run(1, {}, false), kWorkerFailed);
  ExpectErrorReported(
      testing::Escaped("[*** ERROR Thread 0 : Cannot write on " + Root() + " drive ***]"));
}

// A real filesystem on a loop device, changed while the worker is paused at a planted point
// after the first file is on the device: 8 bytes of its block 0 overwritten on the device
// itself (the copy takes them along, so only the pattern check sees them), or the filesystem
// filled up before the copy.
TEST_F(DiskTestTest, RealDeviceChangedBeforeTheCopy) {
  testing::LoopMount mount({.image_bytes = 3400ull << 20, .inodes = 64});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  drive_ = mount.path() + "/drive";
  const auto corrupt = [&] {  // where block 0 of the first file lies on the device (FIEMAP)
    const UniqueFd first(open((drive_ + "/" + Files().at(0)).c_str(), O_RDONLY | O_CLOEXEC));
    alignas(fiemap) char request[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
    auto* map = reinterpret_cast<fiemap*>(request);
    map->fm_length = kFile, map->fm_flags = FIEMAP_FLAG_SYNC, map->fm_extent_count = 1;
    ASSERT_EQ(ioctl(first.get(), FS_IOC_FIEMAP, map), 0);
    const UniqueFd image(open(mount.image().c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(pwrite(image.get(), "CORRUPT!", 8, off_t(map->fm_extents[0].fe_physical + 100)), 8);
  };
  const auto fill = [&] {  // the first file is reserved whole already
    const UniqueFd filler(open((mount.path() + "/filler").c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(fallocate(filler.get(), 0, 0, off_t(mount.AvailableBytes() - 16 * kMiB)), 0);
  };
  const std::pair<DiskFault, std::string> cases[] = {
      {{DiskOperation::kCopyRead, DiskFaultEffect::kRun, 0, 0, corrupt},
       testing::Escaped("Drive " + Root() + ", " + Root()) + kM +
           " holds other data than was written at byte 100"},
      {{DiskOperation::kWrite, DiskFaultEffect::kRun, 0, kDiskBlocksPerFile - 1, fill},
       testing::Escaped("Drive " + Root() + ",  The disk is full")},
  };
  for (const auto& [fault, error] : cases) {
    SCOPED_TRACE(error);
    fs::remove_all(drive_);  // what the case before kept
    ASSERT_GE(mount.AvailableBytes(), 3 * kGiB);
    EXPECT_EQ(Run(1, fault), kWorkerFailed);
    ExpectErrorReported(testing::Escaped("[*** ERROR Thread 0 : ") + error +
                        testing::Escaped(" ***]"));
    fs::remove(mount.path() + "/filler");
  }
}

// A fill that stops short of the block's end (only its first row, say): byte k is k mod 256;
// the check finds the first byte that differs anywhere in the block, and only such a byte.
TEST(DiskPairTest, ThePatternFillsTheWholeBlockAndTheCheckFindsEveryByte) {
  std::vector<std::byte> block(kDiskBlockBytes, std::byte{0xAA});
  FillDiskPattern(block.data());
  for (size_t k = 0; k < block.size(); ++k) ASSERT_EQ(block[k], std::byte(k % 256)) << k;
  EXPECT_EQ(FindPatternMismatch(block.data()), kDiskBlockBytes);
  for (size_t at :
       {size_t{0}, size_t{4095}, size_t{4096}, kDiskBlockBytes / 2 + 1, kDiskBlockBytes - 1}) {
    block[at] ^= std::byte{1};
    if (at + 1 < kDiskBlockBytes) block[kDiskBlockBytes - 1] ^= std::byte{4};  // a later one
    EXPECT_EQ(FindPatternMismatch(block.data()), at);
    FillDiskPattern(block.data());
  }
}

// The blocks lie in huge pages (where the kernel collapses them) and are writable to the end.
TEST(DiskPairTest, BlocksLieInHugePages) {
  DiskWorkspace workspace;
  workspace.block(2 * kDiskSlots - 1)[kDiskBlockBytes - 1] = std::byte{1};
  if (!workspace.huge_pages()) GTEST_SKIP() << "this kernel does not collapse into huge pages";
  const auto address = reinterpret_cast<uintptr_t>(workspace.block(0));
  EXPECT_EQ(address % platform::kHugePageBytes, 0u);
  // The mapping's range in /proc/self/smaps, then its "AnonHugePages: <n> kB" line.
  std::istringstream smaps(testing::ReadFile("/proc/self/smaps"));
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long start = 0, end = 0;
    if (sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find(':') > 20) {
      inside = start <= address && address < end;
    } else if (inside && line.starts_with("AnonHugePages:")) {
      EXPECT_GE(std::stoul(line.substr(14)), 2 * kDiskSlots * kDiskBlockBytes / 1024);
      return;
    }
  }
  ADD_FAILURE() << "no mapping holds the blocks";
}

// The pair count and the free-space rule at their edges.
TEST(DiskRulesTest, PairsToWriteAndRoomForAPair) {
  for (auto [size, pairs] : {std::pair{-5, 0}, {1, 1}, {500, 500}, {501, 500}}) {
    EXPECT_EQ(DiskPairsToWrite(size), pairs) << size;
  }
  EXPECT_FALSE(DiskHasRoomForPair(3 * kGiB - 1));
  EXPECT_TRUE(DiskHasRoomForPair(3 * kGiB));
}

// The failure of an errno value carries its cause; codes beyond the table have no text.
TEST(FileExceptionTest, ThrownFromAnErrorNumberWithItsCause) {
  ThrowIfFileError(0, "f");
  try {
    ThrowIfFileError(ENOSPC, "f");
    FAIL() << "nothing thrown";
  } catch (const CFileException& failure) {
    EXPECT_EQ(failure.cause(), platform::FileCause::kDiskFull);
    EXPECT_TRUE(failure.IsKindOf(&CException::classCException));
    EXPECT_STREQ(failure.GetRuntimeClass()->class_name, "CFileException");
    char text[8];
    EXPECT_TRUE(failure.GetErrorMessage(text, sizeof text));
    EXPECT_STREQ(text, "The dis");  // cut to the buffer
  }
  for (int cause = 0; cause <= 15; ++cause) {
    const CFileException failure(static_cast<platform::FileCause>(cause), 0, "f");
    EXPECT_STREQ(failure.CauseText(), cause % 15 == 0 ? "Unknown error" : FileCauseText(cause));
  }
  EXPECT_STREQ(FileCauseText(-1), "Unknown error");
}

}  // namespace
}  // namespace forgeval
