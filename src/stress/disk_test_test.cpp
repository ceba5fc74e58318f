#include "stress/disk_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>

#include "device_traffic.h"
#include "platform/disk_faults.h"
#include "platform/disk_io.h"
#include "report/failure_flag.h"
#include "stress/disk_pair.h"
#include "stress/worker_frame.h"
#include "text_match.h"
#include "worker_harness.h"

namespace forgeval {
namespace {

using platform::DiskFault;
using platform::DiskFaultEffect;
using platform::DiskOperation;
using platform::PlantDiskFault;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kGiB = 1 << 30;
constexpr long kBlocks = 512;  // blocks of one file
const std::string kName = R"([A-Za-z0-9]{6}\.TMP)";

// One disk worker run in this thread on a folder of the test's own, with the device traffic
// it caused.
class DiskTestTest : public testing::WorkerHarness {
 protected:
  void SetUp() override {
    WorkerHarness::SetUp();
    std::filesystem::create_directory(drive_);
  }
  void TearDown() override {
    platform::ClearDiskFault();
    WorkerHarness::TearDown();
  }

  uint32_t Run(int32_t size, const std::string& root = "") {
    DiskWorkerArgs args{root.empty() ? Root() : root, 0, size};
    const testing::DeviceTraffic before = testing::ProcessDeviceTraffic();
    const uint32_t exit_code =
        RunCaptured([&args] { return DiskTestThread(reinterpret_cast<uintptr_t>(&args)); });
    const testing::DeviceTraffic after = testing::ProcessDeviceTraffic();
    traffic_known_ = before.known;
    read_ = after.read_bytes - before.read_bytes;
    written_ = after.write_bytes - before.write_bytes;
    return exit_code;
  }
  std::string Root() const { return drive_ + "/"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(drive_)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string WriteLine(int size) const {
    return "Thread 0 : Writting " + std::to_string(size) + "GB on drive " + Root() + " ...";
  }
  std::string VerifyLine() const {
    return "Thread 0 : Verifying written data on drive " + Root() + " ...";
  }
  std::string FileFailure(const std::string& cause) const {
    return testing::Escaped("[*** ERROR Thread 0 : Drive " + Root() + ",  " + cause + " ***]");
  }

  std::string drive_ = dir_.File("drive");
  bool traffic_known_ = false;
  uint64_t read_ = 0;
  uint64_t written_ = 0;
};

TEST_F(DiskTestTest, OnePairIsWrittenVerifiedAndDeleted) {
  EXPECT_EQ(Run(1), kWorkerCompleted);
  EXPECT_EQ(console_, WriteLine(1) + "\n" + VerifyLine() + "\n");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{WriteLine(1), VerifyLine(), VerifyLine() + "[Done]"}));
  EXPECT_TRUE(Files().empty());
  EXPECT_FALSE(FailureFlagRaised());
  EXPECT_TRUE(listener_.Drain(0).empty());
  if (traffic_known_) {
    // One pair on the device: the first file and its copy written, the first file read by
    // the copy, both read back by the verification.
    EXPECT_GE(written_, kGiB);
    EXPECT_LT(written_, 2 * kGiB);
    EXPECT_GE(read_, kGiB + kGiB / 2);
  }
}

TEST_F(DiskTestTest, SizeZeroOrNegativeWritesNothingAndCompletes) {
  for (int32_t size : {0, -5}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Run(size), kWorkerCompleted);
    EXPECT_EQ(console_, WriteLine(size) + "\n" + VerifyLine() + "\n");
    EXPECT_EQ(LogLines().back(), VerifyLine() + "[Done]");
    EXPECT_TRUE(Files().empty());
    if (traffic_known_) {
      EXPECT_LT(written_, kMiB);
    }
  }
}

TEST_F(DiskTestTest, NoFreeSpaceAnswerWritesNoPair) {
  PlantDiskFault({DiskOperation::kFreeSpace, DiskFaultEffect::kFail, EIO});
  EXPECT_EQ(Run(3), kWorkerCompleted);
  EXPECT_EQ(console_, WriteLine(3) + "\n" + VerifyLine() + "\n");
  EXPECT_TRUE(Files().empty());
  if (traffic_known_) {
    EXPECT_LT(written_, kMiB);
  }
}

TEST_F(DiskTestTest, SizeAbove500IsCappedAndSaidOnce) {
  PlantDiskFault({DiskOperation::kFreeSpace, DiskFaultEffect::kFail, EIO});
  EXPECT_EQ(Run(600), kWorkerCompleted);
  const std::string capped =
      "Thread 0 : Size 600 is more than 500 file pairs: at most 500GB are written on drive " +
      Root();
  EXPECT_EQ(console_, capped + "\n" + WriteLine(600) + "\n" + VerifyLine() + "\n");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{capped, WriteLine(600), VerifyLine(),
                                                  VerifyLine() + "[Done]"}));
}

TEST_F(DiskTestTest, MissingFolderFailsTheProbe) {
  const std::string root = dir_.File("absent") + "/";
  EXPECT_EQ(Run(1, root), kWorkerFailed);
  const std::string error = "[*** ERROR Thread 0 : Cannot write on " + root + " drive ***]";
  EXPECT_EQ(console_, error + "\n");
  ExpectErrorReported(testing::Escaped(error));
  EXPECT_FALSE(testing::FileExists(dir_.File("absent")));
}

TEST_F(DiskTestTest, FullDiskDuringAWriteKeepsThePairsWritten) {
  PlantDiskFault({DiskOperation::kWrite, DiskFaultEffect::kFail, ENOSPC, kBlocks + 5});
  EXPECT_EQ(Run(10), kWorkerFailed);
  EXPECT_EQ(console_.find(VerifyLine()), std::string::npos);
  ExpectErrorReported(FileFailure("The disk is full"));
  // Pair 0 complete, pair 1 begun: both pairs stay for the operator.
  const std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 4u);
  EXPECT_TRUE(testing::FullMatch(files[0], "m" + kName));
  EXPECT_TRUE(testing::FullMatch(files[2], "n" + kName));
  EXPECT_EQ(std::count_if(files.begin(), files.end(),
                          [&](const std::string& name) {
                            return std::filesystem::file_size(drive_ + "/" + name) ==
                                   kBlocks * kMiB;
                          }),
            3);  // the second copy was never made
}

TEST_F(DiskTestTest, CorruptedCopyIsInconsistentNamingBothFiles) {
  PlantDiskFault({DiskOperation::kCopy, DiskFaultEffect::kCorrupt, 0, 300});
  EXPECT_EQ(Run(1), kWorkerFailed);
  const std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 2u);
  ExpectErrorReported(
      testing::Escaped("[*** ERROR Thread 0 : Drive results are inconsistent( File1 = " + Root() +
                       files[0] + ", File2 = " + Root() + files[1] + ") ***]"));
  EXPECT_EQ(console_.substr(0, WriteLine(1).size() + VerifyLine().size() + 2),
            WriteLine(1) + "\n" + VerifyLine() + "\n");
}

// A planted fault of one file operation, the cause the worker names, and the test files it
// leaves for the operator (sorted names; with the size of the last one when it matters).
struct DiskFaultCase {
  const char* name;
  DiskFault fault;
  const char* cause;
  std::vector<std::string> files;
  int64_t last_file_bytes = -1;
};

void PrintTo(const DiskFaultCase& c, std::ostream* out) { *out << c.name; }

class DiskFaultTest : public DiskTestTest, public ::testing::WithParamInterface<DiskFaultCase> {};

TEST_P(DiskFaultTest, IsAFileFailureNamingItsCause) {
  const DiskFaultCase& c = GetParam();
  PlantDiskFault(c.fault);
  EXPECT_EQ(Run(1), kWorkerFailed);
  ExpectErrorReported(FileFailure(c.cause));
  const std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), c.files.size());
  for (size_t i = 0; i < files.size(); ++i) EXPECT_TRUE(testing::FullMatch(files[i], c.files[i]));
  if (c.last_file_bytes >= 0) {
    EXPECT_EQ(std::filesystem::file_size(drive_ + "/" + files.back()),
              static_cast<uint64_t>(c.last_file_bytes));
  }
}

const std::string kM = "m" + kName;
const std::string kN = "n" + kName;

// A copy cut short in its last block leaves a second file whose last read really delivers
// half a block; the rest of the buffer still holds an earlier block of the same pattern, so
// only the count of bytes delivered can tell.
INSTANTIATE_TEST_SUITE_P(
    Faults, DiskFaultTest,
    ::testing::Values(DiskFaultCase{"ShortWriteIsAFullDisk",
                                    {DiskOperation::kWrite, DiskFaultEffect::kShort, 0, 2},
                                    "The disk is full",
                                    {kM, kN}},
                      DiskFaultCase{"DeviceErrorIsAHardwareError",
                                    {DiskOperation::kWrite, DiskFaultEffect::kFail, EIO, 3},
                                    "There was a hardware error",
                                    {kM, kN}},
                      // The second file's name: the first file already exists and stays.
                      DiskFaultCase{"FailedTemporaryName",
                                    {DiskOperation::kCreate, DiskFaultEffect::kFail, EMFILE, 1},
                                    "The permitted number of open files was exceeded",
                                    {kM}},
                      DiskFaultCase{"ShortReadOfACopyCutShortIsTheEndOfFile",
                                    {DiskOperation::kCopy, DiskFaultEffect::kShort, 0, kBlocks - 1},
                                    "The end of file was reached",
                                    {kM, kN},
                                    kBlocks* kMiB - kMiB / 2},
                      DiskFaultCase{"FailedCopyIsFoundByTheVerification",
                                    {DiskOperation::kCopy, DiskFaultEffect::kFail, ENOSPC},
                                    "The end of file was reached",
                                    {kM, kN},
                                    0},
                      // The first file is gone, the second stays.
                      DiskFaultCase{"FailedDeletion",
                                    {DiskOperation::kRemove, DiskFaultEffect::kFail, EACCES, 1},
                                    "The file could not be accessed",
                                    {kN}}),
    [](const ::testing::TestParamInfo<DiskFaultCase>& param) { return param.param.name; });

TEST_F(DiskTestTest, RefusedUnbufferedIoFallsBackAndStillReadsTheDevice) {
  PlantDiskFault({DiskOperation::kDirectIo, DiskFaultEffect::kFail, EINVAL});
  EXPECT_EQ(Run(1), kWorkerCompleted);
  const std::string fallback = "Thread 0 : Drive " + Root() +
                               " refuses unbuffered I/O: writing through the cache and dropping "
                               "it before every read-back";
  EXPECT_EQ(console_, WriteLine(1) + "\n" + fallback + "\n" + VerifyLine() + "\n");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{WriteLine(1), fallback, VerifyLine(),
                                                  VerifyLine() + "[Done]"}));
  EXPECT_TRUE(Files().empty());
  // The verification read both files from the device, not from the cache.
  if (traffic_known_) {
    EXPECT_GE(read_, kGiB);
  }
}

// The kibibytes of huge pages in the mapping of this process that holds `address`.
long HugePageKibibytesAt(const void* address) {
  std::istringstream smaps(testing::ReadFile("/proc/self/smaps"));
  const auto wanted = reinterpret_cast<uintptr_t>(address);
  bool inside = false;
  std::string line;
  while (std::getline(smaps, line)) {
    unsigned long start = 0;
    unsigned long end = 0;
    if (sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 && line.find(':') > 20) {
      inside = start <= wanted && wanted < end;
    } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
      return std::stol(line.substr(14));
    }
  }
  return -1;
}

TEST(DiskWorkspaceTest, BlocksLieInHugePages) {
  DiskWorkspace workspace;
  if (!workspace.huge_pages()) GTEST_SKIP() << "this kernel does not collapse into huge pages";
  EXPECT_EQ(reinterpret_cast<uintptr_t>(workspace.block(0)) % platform::kHugePageBytes, 0u);
  EXPECT_GE(HugePageKibibytesAt(workspace.block(0)),
            static_cast<long>(2 * kDiskSlots * kDiskBlockBytes / 1024));
  // The blocks are the workspace's own and writable to the end.
  workspace.block(2 * kDiskSlots - 1)[kDiskBlockBytes - 1] = std::byte{1};
}

TEST(DiskRulesTest, PairsToWrite) {
  EXPECT_EQ(DiskPairsToWrite(-5), 0);
  EXPECT_EQ(DiskPairsToWrite(0), 0);
  EXPECT_EQ(DiskPairsToWrite(1), 1);
  EXPECT_EQ(DiskPairsToWrite(500), 500);
  EXPECT_EQ(DiskPairsToWrite(501), 500);
  EXPECT_EQ(DiskPairsToWrite(2147483647), 500);
}

TEST(DiskRulesTest, RoomForAPairIsThreeWholeGibibytes) {
  EXPECT_FALSE(DiskHasRoomForPair(0));
  EXPECT_FALSE(DiskHasRoomForPair(2 * kGiB));
  EXPECT_FALSE(DiskHasRoomForPair(3 * kGiB - 1));
  EXPECT_TRUE(DiskHasRoomForPair(3 * kGiB));
  EXPECT_TRUE(DiskHasRoomForPair(3 * kGiB + kGiB / 2));
  EXPECT_TRUE(DiskHasRoomForPair(uint64_t{1} << 62));
}

}  // namespace
}  // namespace forgeval
