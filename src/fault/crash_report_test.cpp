#include "fault/crash_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "chunk_sink.h"
#include "faults.h"
#include "fixed_system_queries.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using platform::FaultPointers;
using testing::FixedSystemQueries;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(AppendReportTextTest, PiecesReachTheFileWholeInChunksOfTheBuffer) {
  testing::ChunkSink sink;
  std::string unbuffered;
  {
    ReportFile report(sink.fd());
    for (int i = 0; i < 60; ++i) {
      const std::string piece(static_cast<size_t>(i * 37 % 1023 + 1),
                              static_cast<char>('a' + i % 26));
      EXPECT_EQ(AppendReportText(report, "%s|%d\r\n", piece.c_str(), i),
                piece.size() + 3 + std::to_string(i).size());
      unbuffered += piece + "|" + std::to_string(i) + "\r\n";
    }
    FlushReportText(report);
    FlushReportText(report);  // nothing pending: no write
  }
  const std::vector<std::string> chunks = sink.Chunks();
  std::string joined;
  for (const std::string& chunk : chunks) joined += chunk;
  EXPECT_EQ(joined, unbuffered);
  ASSERT_GE(chunks.size(), 3u);
  for (size_t i = 0; i + 1 < chunks.size(); ++i) {
    EXPECT_GT(chunks[i].size(), ReportFile::kFlushThreshold) << i;
    EXPECT_LE(chunks[i].size(), ReportFile::kBufferBytes) << i;
  }
}

TEST(AppendReportTextTest, APieceLargerThanTheRoomIsNeverCut) {
  TempDir dir;
  platform::UniqueFd file = platform::OpenForAppend(dir.File("report"));
  const std::string pending(7000, 'p');
  const std::string path(3000, 'q');   // fits the buffer once the pending text is out
  const std::string huge(20000, 'h');  // fits no buffer at all
  {
    ReportFile report(file.get());
    AppendReportText(report, "%s", pending.c_str());
    EXPECT_EQ(AppendReportText(report, "%s\r\n", path.c_str()), path.size() + 2);
    EXPECT_EQ(AppendReportText(report, "<%s>", huge.c_str()), huge.size() + 2);
    AppendReportText(report, "end");
    FlushReportText(report);
  }
  EXPECT_EQ(ReadFile(dir.File("report")), pending + path + "\r\n<" + huge + ">end");
}

// Runs `fault` under the thread's fault guard and returns what was saved.
FaultPointers Fault(void (*fault)(void*), void* argument = nullptr) {
  FaultPointers pointers;
  EXPECT_FALSE(platform::RunGuarded(fault, argument, &pointers));
  return pointers;
}

void NullRead(void*) { FaultNullRead(); }
void WriteReadOnly(void* page) { FaultWrite(page); }
void DivideByZero(void*) { FaultDivideByZero(); }

class CrashReporterTest : public ::testing::Test {
 protected:
  CrashReporterTest() {
    queries_.program_path = dir_.File("forgeval");
    platform::LoadedObject object;
    object.path = "/opt/forgeval/forgeval";
    object.base = 0x55d0c3a00000;
    object.span = 0x4c000;
    queries_.objects.push_back(object);
  }
  std::string Report() const { return ReadFile(dir_.File("ERRORLOG.TXT")); }
  std::string Dump() const { return ReadFile(dir_.File("CRASH.DMP")); }

  TempDir dir_;
  FixedSystemQueries queries_;
  platform::ThreadFaultGuard guard_;
};

constexpr const char* kMachineAndModules =
    "Error occurred at 3/14/2025 09:05:06.\r\n"
    "%s/forgeval, run by operator.\r\n"
    "Operating system:  Debian GNU/Linux 12 (bookworm) (6.1.0-18-amd64).\r\n"
    "2 processor(s), type 8664.\r\n"
    "0%% memory in use.\r\n"
    "0 MBytes physical memory.\r\n0 MBytes physical memory free.\r\n"
    "0 MBytes paging file.\r\n0 MBytes paging file free.\r\n"
    "0 MBytes user address space.\r\n0 MBytes user address space free.\r\n"
    "Module 1\r\n/opt/forgeval/forgeval\r\n"
    "Image Base: 0x55d0c3a00000  Image Size: 0x0004c000\r\n"
    "Checksum:   0x00000000  Time Stamp: 0x00000000\r\n"
    "File Size:  0           File Time:  \r\n"
    "Version Information:\r\n   Company:    \r\n   Product:    \r\n   FileDesc:   \r\n"
    "   FileVer:    0.0.0.0\r\n   ProdVer:    0.0.0.0\r\n\r\n"
    "\r\n======================= [end of ERRORLOG.TXT] =======================\r\n";

TEST_F(CrashReporterTest, WriteAccessViolationAbove4GiBGivesTheWholeReportAndADump) {
  void* page = testing::ReadOnlyPage();
  ASSERT_GT(reinterpret_cast<uintptr_t>(page), uintptr_t{1} << 32);
  const FaultPointers pointers = Fault(&WriteReadOnly, page);
  CrashReporter reporter(queries_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reporter.Write(pointers), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "writing minidump\r\n");

  char head[160];
  snprintf(head, sizeof head,
           "\r\nException handler called in SeException.\r\n"
           "Write to location %08x caused an access violation.\r\n",
           testing::Low32(page));
  char rest[2048];
  snprintf(rest, sizeof rest, kMachineAndModules, dir_.path().c_str());
  EXPECT_EQ(Report(), std::string(head) + rest);

  const std::string dump = Dump();
  EXPECT_TRUE(
      dump.starts_with("\x7f"
                       "ELF"))
      << dump.size();
  struct stat info {};
  ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // it holds the process's memory
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST_F(CrashReporterTest, ASecondCallWritesNothing) {
  const FaultPointers pointers = Fault(&NullRead);
  CrashReporter reporter(queries_);
  reporter.Write(pointers);
  const std::string report = Report();
  struct stat first {};
  ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &first), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reporter.Write(Fault(&DivideByZero)), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Report(), report);
  struct stat second {};
  ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &second), 0);
  EXPECT_EQ(second.st_ino, first.st_ino);
}

TEST_F(CrashReporterTest, ReadOfAddressZeroAndFaultsOtherThanAccessViolations) {
  {
    CrashReporter reporter(queries_);
    reporter.Write(Fault(&NullRead));
  }
  {
    CrashReporter reporter(queries_);
    reporter.Write(Fault(&DivideByZero));
  }
  const std::string report = Report();
  EXPECT_TRUE(
      report.starts_with("\r\nException handler called in SeException.\r\n"
                         "Read from location 00000000 caused an access violation.\r\n"
                         "Error occurred at "))
      << report;
  // The second report, of the division by zero, has no access-violation line.
  const size_t second = report.find("[end of ERRORLOG.TXT] =======================\r\n") + 47;
  EXPECT_EQ(report.substr(second, 62),
            "\r\nException handler called in SeException.\r\nError occurred at ");
}

// Appending to an earlier report and replacing an earlier dump are checked end to end.
TEST_F(CrashReporterTest, ALinkPlantedAtTheDumpsNameIsReplacedNeverFollowed) {
  WriteFile(dir_.File("victim"), "not ours");
  std::filesystem::create_symlink(dir_.File("victim"), dir_.File("CRASH.DMP"));
  CrashReporter again(queries_);
  again.Write(Fault(&NullRead));
  EXPECT_EQ(ReadFile(dir_.File("victim")), "not ours");
  EXPECT_FALSE(std::filesystem::is_symlink(dir_.File("CRASH.DMP")));
  EXPECT_TRUE(
      Dump().starts_with("\x7f"
                         "ELF"));
}

TEST_F(CrashReporterTest, AReportThatCannotBeOpenedLeavesNothingAndIsNotRetried) {
  WriteFile(dir_.File("victim"), "not ours");
  std::filesystem::create_symlink(dir_.File("victim"), dir_.File("ERRORLOG.TXT"));
  CrashReporter reporter(queries_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(reporter.Write(Fault(&NullRead)), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error creating exception report\r\n");
  EXPECT_EQ(ReadFile(dir_.File("victim")), "not ours");
  EXPECT_FALSE(testing::FileExists(dir_.File("CRASH.DMP")));

  std::filesystem::remove(dir_.File("ERRORLOG.TXT"));
  ::testing::internal::CaptureStderr();
  reporter.Write(Fault(&NullRead));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(testing::FileExists(dir_.File("ERRORLOG.TXT")));
  EXPECT_FALSE(testing::FileExists(dir_.File("CRASH.DMP")));
}

TEST_F(CrashReporterTest, ADumpThatCannotBeMadeIsSkippedAndTheReportIsComplete) {
  std::filesystem::create_directory(dir_.File("CRASH.DMP"));  // cannot be replaced by a file
  CrashReporter reporter(queries_);
  EXPECT_EQ(reporter.Write(Fault(&NullRead)), 0);
  EXPECT_TRUE(Report().ends_with("[end of ERRORLOG.TXT] =======================\r\n"));
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("CRASH.DMP")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            2);  // no half-written dump left beside them
}

TEST_F(CrashReporterTest, WithoutTheProgramPathBothFilesGoToTheCurrentFolder) {
  queries_.program_path.reset();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  CrashReporter reporter(queries_);
  reporter.Write(Fault(&NullRead));
  std::filesystem::current_path(previous);
  EXPECT_NE(Report().find("\r\nUnknown, run by operator.\r\n"), std::string::npos) << Report();
  EXPECT_TRUE(
      Dump().starts_with("\x7f"
                         "ELF"));
}

TEST_F(CrashReporterTest, OfManySimultaneousCallsExactlyOneWrites) {
  const FaultPointers pointers = Fault(&NullRead);
  CrashReporter reporter(queries_);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      reporter.Write(pointers);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  const std::string report = Report();
  size_t ends = 0;
  for (size_t at = report.find("[end of ERRORLOG.TXT]"); at != std::string::npos;
       at = report.find("[end of ERRORLOG.TXT]", at + 1))
    ++ends;
  EXPECT_EQ(ends, 1u);
}

TEST(CrashFilePathTest, ReplacesTheLastComponent) {
  EXPECT_EQ(CrashFilePath("/opt/forgeval/forgeval", "ERRORLOG.TXT"), "/opt/forgeval/ERRORLOG.TXT");
  EXPECT_EQ(CrashFilePath("/forgeval", "CRASH.DMP"), "/CRASH.DMP");
  EXPECT_EQ(CrashFilePath("Unknown", "CRASH.DMP"), "CRASH.DMP");
}

}  // namespace
}  // namespace forgeval
