// ERRORLOG.TXT as a whole, with the machine description and module list (system_info.h).
#include "fault/crash_report.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "fault/system_info.h"
#include "faults.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

// A piece goes behind the pending text while it fits; the pending text goes out first when
// more than 7,168 characters wait or the piece does not fit; a piece larger than the buffer
// goes out on its own. Each write on a SEQPACKET socket arrives as one message.
TEST(AppendReportTextTest, PiecesReachTheFileWholeInChunksOfTheBuffer) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, ends), 0);
  ReportFile report(ends[0]);
  const auto s = [](char fill, size_t size) { return std::string(size, fill); };
  for (const std::string& piece : {s('p', 7168), s('q', 1000), s('r', 3000), s('s', 6000),
                                   s('h', 20000), s('e', 8192), s('n', 3)})
    EXPECT_EQ(AppendReportText(report, "%s", piece.c_str()), piece.size());
  FlushReportText(report);
  std::vector<std::string> chunks;
  static char buffer[1 << 16];
  for (ssize_t got; (got = recv(ends[1], buffer, sizeof buffer, 0)) > 0;)
    chunks.emplace_back(buffer, got);
  close(ends[0]), close(ends[1]);
  EXPECT_EQ(chunks, (std::vector{s('p', 7168) + s('q', 1000), s('r', 3000), s('s', 6000),
                                 s('h', 20000), s('e', 8192), s('n', 3)}));
}

// Dates in the two-second form exist for 1980 to 2107 only; outside, the text is untouched.
TEST(FormatLocalFileTimeTest, YearsTheTwoSecondFormHolds) {
  const std::pair<platform::LocalDateTime, const char*> cases[] = {
      {{1980, 1, 1, 0, 0, 0}, "1/1/1980 00:00:00"},
      {{2107, 12, 31, 23, 59, 59}, "12/31/2107 23:59:58"},
      {{1979, 12, 31, 23, 59, 58}, "untouched"},
      {{2108, 1, 1, 0, 0, 0}, "untouched"}};
  for (const auto& [time, expected] : cases) {
    char text[32] = "untouched";
    EXPECT_EQ(FormatLocalFileTime(text, sizeof text, time), expected[0] != 'u');
    EXPECT_STREQ(text, expected);
  }
}

const std::string kLongName = "lib" + std::string(300, 'x') + ".so.1";

// Fixed facts in place of the system's; an emptied one makes its query fail. The objects come
// out of address order, one without an image, one (the vDSO) without a file to ask about.
struct FixedQueries : platform::SystemQueries {
  std::optional<std::string> program, user = "operator", kernel = "6.1.0-18-amd64",
                                      os = "Debian GNU/Linux 12 (bookworm)";
  std::optional<platform::LocalDateTime> local_time = platform::LocalDateTime{2025, 3, 14, 9, 5, 7};
  std::optional<std::string> ProgramPath() const override { return program; }
  std::optional<std::string> UserName() const override { return user; }
  std::optional<std::string> DistributionName() const override { return os; }
  std::optional<std::string> KernelRelease() const override { return kernel; }
  int ProcessorsOnline() const override { return 2; }
  platform::MemoryFigures Memory() const override {
    return {37,      16ull << 30, (10ull << 30) + 1,         2ull << 30,
            1048575, 1ull << 47,  (1ull << 47) - (300 << 20)};
  }
  std::optional<platform::LocalDateTime> ToLocalTime(int64_t) const override { return local_time; }
  std::optional<platform::FileFacts> FileFactsOf(const std::string& path) const override {
    if (path.ends_with("libstdc++.so.6"))
      return platform::FileFacts{2190440, 0x67f3b659, "libstdc++.so.6.0.30"};
    if (path.ends_with("vdso.so.1")) return platform::FileFacts{999, 999, "planted.so.7"};
    return std::nullopt;
  }
  std::vector<platform::LoadedObject> LoadedObjects() const override {
    return {{"/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
             0x7f12'3456'0000,
             0x21a000,
             {0x28, 0x9e, 0xe3, 0x9f, 1, 2},
             "libstdc++.so.6"},
            {"/nothing", 0x500000, 0, {}, ""},
            {"linux-vdso.so.1", 0x7ffd'1000'0000, 0x2000, {0x11, 0x22}, "linux-vdso.so.1", false},
            {"/opt/forgeval/forgeval", 0x400000, 0x4c000, {0xab, 0xcd, 0xef, 0x01}, kLongName}};
  }
};

void NullRead(void*) { FaultNullRead(); }
void WriteReadOnly(void* page) { FaultWrite(page); }
void DivideByZero(void*) { FaultDivideByZero(); }

class CrashReporterTest : public ::testing::Test {
 protected:
  CrashReporterTest() { queries_.program = dir_.File("forgeval"); }
  std::string Report() const { return ReadFile(dir_.File("ERRORLOG.TXT")); }
  long Files() const {
    return std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator());
  }
  platform::FaultPointers Fault(void (*fault)(void*), void* argument = nullptr) {
    platform::FaultPointers pointers;
    EXPECT_FALSE(platform::RunGuarded(fault, argument, &pointers));
    return pointers;
  }

  testing::TempDir dir_;
  FixedQueries queries_;
  platform::ThreadFaultGuard guard_;
};

// The whole report of each kind of fault, and a dump beside it that replaces a planted link
// and only the owner may read; the same reporter then writes nothing more.
TEST_F(CrashReporterTest, TheFirstCallWritesTheWholeReportAndADump) {
  const std::string version =
      "Version Information:\r\n   Company:    \r\n   Product:    \r\n   FileDesc:   ";
  const std::string rest =
      "Error occurred at 3/14/2025 09:05:06.\r\n" + dir_.File("forgeval") +
      ", run by operator.\r\n"
      "Operating system:  Debian GNU/Linux 12 (bookworm) (6.1.0-18-amd64).\r\n"
      "2 processor(s), type 8664.\r\n37% memory in use.\r\n"
      "16384 MBytes physical memory.\r\n10241 MBytes physical memory free.\r\n"
      "2048 MBytes paging file.\r\n1 MBytes paging file free.\r\n"
      "134217728 MBytes user address space.\r\n134217428 MBytes user address space free.\r\n"
      "Module 1\r\n/opt/forgeval/forgeval\r\nImage Base: 0x00400000  Image Size: 0x0004c000\r\n"
      "Checksum:   0xabcdef01  Time Stamp: 0x00000000\r\nFile Size:  0           File Time:  \r\n" +
      version + kLongName.substr(0, 197) +
      "\r\n   FileVer:    0.0.0.0\r\n   ProdVer:    0.0.0.0\r\n\r\n"
      "Module 2\r\n/usr/lib/x86_64-linux-gnu/libstdc++.so.6\r\n"
      "Image Base: 0x7f1234560000  Image Size: 0x0021a000\r\n"
      "Checksum:   0x289ee39f  Time Stamp: 0x67f3b659\r\n"
      "File Size:  2190440     File Time:  3/14/2025 09:05:06\r\n" +
      version +
      "libstdc++.so.6\r\n   FileVer:    6.0.30.0\r\n   ProdVer:    6.0.30.0\r\n\r\n"
      "Module 3\r\nlinux-vdso.so.1\r\nImage Base: 0x7ffd10000000  Image Size: 0x00002000\r\n"
      "Checksum:   0x00000000  Time Stamp: 0x00000000\r\nFile Size:  0           File Time:  \r\n" +
      version +
      "linux-vdso.so.1\r\n   FileVer:    1.0.0.0\r\n   ProdVer:    1.0.0.0\r\n\r\n"
      "\r\n======================= [end of ERRORLOG.TXT] =======================\r\n";
  void* page = testing::ReadOnlyPage();
  ASSERT_GT(reinterpret_cast<uintptr_t>(page), uintptr_t{1} << 32);
  char write_line[80];
  snprintf(write_line, sizeof write_line, "Write to location %08x caused an access violation.\r\n",
           testing::Low32(page));
  testing::WriteFile(dir_.File("victim"), "not ours");
  fs::create_symlink(dir_.File("victim"), dir_.File("CRASH.DMP"));
  const std::pair<void (*)(void*), std::string> cases[] = {
      {&WriteReadOnly, write_line},
      {&NullRead, "Read from location 00000000 caused an access violation.\r\n"},
      {&DivideByZero, ""}};
  for (const auto& [fault, violation] : cases) {
    fs::remove(dir_.File("ERRORLOG.TXT"));
    CrashReporter reporter(queries_);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(reporter.Write(Fault(fault, page)), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "writing minidump\r\n");
    const std::string report = Report();
    EXPECT_EQ(report, "\r\nException handler called in SeException.\r\n" + violation + rest);
    EXPECT_TRUE(ReadFile(dir_.File("CRASH.DMP")).starts_with("\177ELF"));
    EXPECT_EQ(ReadFile(dir_.File("victim")) + std::to_string(Files()),
              "not ours3");  // no temporary left
    struct stat first {
    }, second{};
    ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 0777, 0600u);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(reporter.Write(Fault(&NullRead)), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr() + Report(), report);
    ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &second), 0);
    EXPECT_EQ(second.st_ino, first.st_ino);
  }
}

// A report that cannot be opened leaves no dump, says so once and is not retried. Facts that
// cannot be had show their fallbacks; without the program's path both files go to the current
// folder, where a dump that cannot be made is skipped.
TEST_F(CrashReporterTest, FailuresAndFallbacks) {
  testing::WriteFile(dir_.File("victim"), "not ours");
  fs::create_symlink(dir_.File("victim"), dir_.File("ERRORLOG.TXT"));
  fs::create_directory(dir_.File("CRASH.DMP"));
  CrashReporter reporter(queries_);
  ::testing::internal::CaptureStderr();
  reporter.Write(Fault(&NullRead));
  fs::remove(dir_.File("ERRORLOG.TXT"));
  reporter.Write(Fault(&NullRead));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error creating exception report\r\n");
  EXPECT_EQ(ReadFile(dir_.File("victim")) + std::to_string(Files()), "not ours2");

  queries_.program = queries_.user = queries_.os = queries_.kernel = std::nullopt;
  queries_.local_time.reset();
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  CrashReporter(queries_).Write(Fault(&NullRead));
  fs::current_path(previous);
  EXPECT_TRUE(
      Report().starts_with("\r\nException handler called in SeException.\r\n"
                           "Read from location 00000000 caused an access violation.\r\n"
                           "Error occurred at .\r\nUnknown, run by Unknown.\r\n"
                           "Operating system:  Linux ().\r\n"))
      << Report();
  EXPECT_TRUE(Report().ends_with("[end of ERRORLOG.TXT] =======================\r\n"));
  EXPECT_TRUE(fs::is_directory(dir_.File("CRASH.DMP")) && Files() == 3);
}

// Of many simultaneous calls exactly one writes (ThreadSanitizer watches the buffer).
TEST_F(CrashReporterTest, OfManySimultaneousCallsExactlyOneWrites) {
  const platform::FaultPointers pointers = Fault(&NullRead);
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
  EXPECT_TRUE(report.find("[end of") != std::string::npos &&
              report.find("[end of") == report.rfind("[end of"));
}

}  // namespace
}  // namespace forgeval
