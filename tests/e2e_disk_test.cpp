// End-to-end runs of the disk test: the real forgeval binary on real folders, on small
// loop-mounted ext4 filesystems of a chosen size, and interrupted while it works.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "loop_mount.h"
#include "program_fixture.h"
#include "text_match.h"

namespace forgeval::testing {
namespace {

const std::string kLoop = kBanner + "--- Loop 1 of 1 ---\n";
// Every test but the disk test switched off.
const std::string kOnlyDisk =
    "[Main]\nLoop=1\n[Memory]\nEnabled=0\n[Cache]\nEnabled=0\n[FFT]\nEnabled=0\n"
    "[SortAlgorithms]\nEnabled=0\n[Matrix]\nEnabled=0\n[Disk]\nEnabled=1\n";
constexpr uint64_t kGiB = uint64_t{1} << 30;

std::string WriteLine(int thread, int size, const std::string& root) {
  return "Thread " + std::to_string(thread) + " : Writting " + std::to_string(size) +
         "GB on drive " + root + " ...\n";
}
std::string VerifyLine(int thread, const std::string& root) {
  return "Thread " + std::to_string(thread) + " : Verifying written data on drive " + root +
         " ...\n";
}

// The test's files in a folder: the probe file and the m- and n-files.
std::vector<std::string> TestFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (FullMatch(name, R"(~temp\.tmp|[mn][A-Za-z0-9]{6}\.TMP)")) names.push_back(name);
  }
  return names;
}

// The disk test's keys in `disk_keys`, every other test switched off.
class DiskEndToEndTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    std::filesystem::create_directory(drive_);
  }
  ProcessResult Run(const std::string& disk_keys) {
    return ProgramTest::Run(kOnlyDisk + disk_keys);
  }
  std::unique_ptr<RunningProcess> Start(const std::string& disk_keys) {
    return ProgramTest::Start(kOnlyDisk + disk_keys);
  }
  // The log's lines of this run, without their timestamps.
  std::string LogBody() const {
    return testing::ReplaceAll(Log(), "(Thread \\d+ : )?" + kStamp + " : ", "$1");
  }
  std::string Root() const { return drive_ + "/"; }

  std::string drive_ = dir_.File("drive");
};

TEST_F(DiskEndToEndTest, OnePairOnARealFolderLeavesNothingBehind) {
  ProcessResult result = Run("Drive=" + drive_ + "\nCPU=0\nSize=1\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, kLoop + WriteLine(0, 1, Root()) + VerifyLine(0, Root()) + kPassed);
  EXPECT_EQ(result.errors, "");
  EXPECT_NE(LogBody().find("\n" + WriteLine(0, 1, Root()) + VerifyLine(0, Root()) +
                           "Thread 0 : Verifying written data on drive " + Root() +
                           " ...[Done]\n\nAll tests passed successfully.\n"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(std::filesystem::is_empty(drive_));
}

TEST_F(DiskEndToEndTest, ProbeFailuresTouchNothing) {
  TempDir elsewhere;
  const std::string target = elsewhere.File("target");
  WriteFile(target, "untouched");
  const std::string linked = dir_.File("linked");
  std::filesystem::create_directory(linked);
  ASSERT_EQ(symlink(target.c_str(), (linked + "/~temp.tmp").c_str()), 0);
  LoopMount read_only({.image_bytes = 16ull << 20, .read_only = true});

  struct Case {
    std::string entry;
    std::string root;
  };
  std::vector<Case> cases = {
      {dir_.File("absent"), dir_.File("absent") + "/"},
      {linked + "\\", linked + "/"},
      {"C:", "C:/"},  // a Windows drive letter names no folder here
  };
  if (read_only.skip_reason().empty()) {
    cases.push_back({read_only.path(), read_only.path() + "/"});
  } else {
    std::cout << "read-only mount not tried: " << read_only.skip_reason() << "\n";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    ProcessResult result = Run("Drive=" + c.entry + "\nSize=1\n");
    EXPECT_EQ(result.exit_code, 1);
    const std::string error = "[*** ERROR Thread 0 : Cannot write on " + c.root + " drive ***]";
    EXPECT_EQ(result.output, kLoop + error + "\n" + kFailed);
    EXPECT_NE(Log().find(" : " + error + "\n"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("absent")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("C:")));
  EXPECT_EQ(ReadFile(target), "untouched");
  EXPECT_TRUE(std::filesystem::is_symlink(linked + "/~temp.tmp"));
}

TEST_F(DiskEndToEndTest, LessThanThreeGibibytesAvailableWritesNoPair) {
  LoopMount mount({.image_bytes = 3100ull << 20, .inodes = 64});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  ASSERT_LT(mount.AvailableBytes(), 3 * kGiB);
  ASSERT_GT(mount.AvailableBytes(), 2 * kGiB + kGiB / 2);
  const std::string root = mount.path() + "/";
  const uint64_t written_before = mount.SectorsWritten();
  ProcessResult result = Run("Drive=" + mount.path() + "\nSize=10\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, kLoop + WriteLine(0, 10, root) + VerifyLine(0, root) + kPassed);
  EXPECT_TRUE(TestFilesIn(mount.path()).empty());
  sync();
  EXPECT_LT((mount.SectorsWritten() - written_before) * 512, 64ull << 20);
}

TEST_F(DiskEndToEndTest, ThreeAndAHalfGibibytesAvailableWriteExactlyOnePair) {
  LoopMount mount({.image_bytes = 3700ull << 20, .inodes = 64});
  if (!mount.skip_reason().empty()) GTEST_SKIP() << mount.skip_reason();
  ASSERT_GT(mount.AvailableBytes(), 3 * kGiB + kGiB / 4);
  ASSERT_LT(mount.AvailableBytes(), 4 * kGiB);
  const std::string root = mount.path() + "/";
  const uint64_t written_before = mount.SectorsWritten();
  const uint64_t read_before = mount.SectorsRead();
  ProcessResult result = Run("Drive=" + mount.path() + "\nSize=10\n");
  EXPECT_EQ(result.exit_code, 0);
  // The console still shows the configured size.
  EXPECT_EQ(result.output, kLoop + WriteLine(0, 10, root) + VerifyLine(0, root) + kPassed);
  EXPECT_TRUE(TestFilesIn(mount.path()).empty());
  sync();
  // One pair, 1 GiB, reached the device, and was read back from it; a second pair would
  // have written another GiB.
  const uint64_t written = (mount.SectorsWritten() - written_before) * 512;
  EXPECT_GE(written, kGiB);
  EXPECT_LT(written, kGiB + kGiB / 2);
  EXPECT_GE((mount.SectorsRead() - read_before) * 512, kGiB);
  // The run record counts that pair and the rates of writing and reading it.
  std::istringstream records(ReadFile(dir_.File("forgeval.results.jsonl")));
  std::string line;
  for (int i = 0; i < 2; ++i) std::getline(records, line);
  const nlohmann::json worker_end = nlohmann::json::parse(line);
  EXPECT_EQ(worker_end["test"], "Disk");
  EXPECT_EQ(worker_end["figures"]["pairs_written"], 1) << line;
  EXPECT_GT(worker_end["figures"]["write_mb_per_s"].get<double>(), 1.0) << line;
  EXPECT_GT(worker_end["figures"]["read_mb_per_s"].get<double>(), 1.0) << line;
}

// The processors each thread of a process may run on, by thread id.
std::map<std::string, std::string> AllowedProcessorsOfThreads(pid_t pid) {
  std::map<std::string, std::string> lists;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    const std::string status = ReadFile(task.path().string() + "/status");
    const auto found = AllMatchGroups(status, "Cpus_allowed_list:\\s*(\\S+)");
    if (!found.empty()) lists[task.path().filename()] = found[0][0];
  }
  return lists;
}

TEST_F(DiskEndToEndTest, TwoWorkersOnOneFolderBothCompleteAndTheExtraOneRunsUnpinned) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "needs two processors";
  auto process = Start("Drive=" + drive_ + "," + drive_ + "\nCPU=1\nSize=1\n");
  // While both workers run: worker 0 may use processor 1 only, worker 1 what the main thread
  // may use.
  std::map<std::string, std::string> seen;
  EXPECT_TRUE(WaitFor(
      [&] {
        seen = AllowedProcessorsOfThreads(process->pid());
        return seen.size() == 3;
      },
      20));
  ASSERT_EQ(seen.size(), 3u);
  const std::string main_list = seen[std::to_string(process->pid())];
  ASSERT_NE(main_list, "1");
  seen.erase(std::to_string(process->pid()));
  std::multiset<std::string> workers;
  for (const auto& [thread, list] : seen) workers.insert(list);
  EXPECT_EQ(workers, (std::multiset<std::string>{"1", main_list}));
  ProcessResult result = process->Wait();
  EXPECT_EQ(result.exit_code, 0);
  for (int thread : {0, 1}) {
    EXPECT_NE(result.output.find(WriteLine(thread, 1, Root())), std::string::npos);
    EXPECT_NE(result.output.find(VerifyLine(thread, Root())), std::string::npos);
    EXPECT_NE(LogBody().find("Thread " + std::to_string(thread) +
                             " : Verifying written data on drive " + Root() + " ...[Done]\n"),
              std::string::npos);
  }
  EXPECT_TRUE(result.output.ends_with(kPassed)) << result.output;
  EXPECT_TRUE(std::filesystem::is_empty(drive_));
}

TEST_F(DiskEndToEndTest, SigintDuringTheWritePhaseLeavesNoFile) {
  auto process = Start("Drive=" + drive_ + "\nSize=3\n");
  // The first file exists and is being written.
  ASSERT_TRUE(WaitFor([&] { return !TestFilesIn(drive_).empty(); }, 20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto interrupted = std::chrono::steady_clock::now();
  process->Signal(SIGINT);
  ProcessResult result = process->Wait();
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(5));
  EXPECT_EQ(result.exit_code, 130);
  EXPECT_EQ(result.output, kLoop + WriteLine(0, 3, Root()) + "\nRun interrupted (SIGINT).\n");
  EXPECT_TRUE(std::filesystem::is_empty(drive_));
  const std::string log = Log();
  EXPECT_NE(log.find(" : Run interrupted (SIGINT).\n\nClosed at:\t"), std::string::npos) << log;
  EXPECT_EQ(log.find("Verifying"), std::string::npos);
}

TEST_F(DiskEndToEndTest, SigtermDuringTheCopyLeavesNoFile) {
  auto process = Start("Drive=" + drive_ + "\nSize=1\n");
  // The copy has begun when the second file has grown.
  auto copying = [&] {
    for (const std::string& name : TestFilesIn(drive_)) {
      std::error_code error;
      if (name[0] == 'n' && std::filesystem::file_size(drive_ + "/" + name, error) > 0) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(WaitFor(copying, 60));
  process->Signal(SIGTERM);
  ProcessResult result = process->Wait();
  EXPECT_EQ(result.exit_code, 143);
  EXPECT_EQ(result.output, kLoop + WriteLine(0, 1, Root()) + "\nRun interrupted (SIGTERM).\n");
  EXPECT_TRUE(std::filesystem::is_empty(drive_));
}

}  // namespace
}  // namespace forgeval::testing
