#include "fault/system_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>
#include <vector>

#include "chunk_sink.h"
#include "fixed_system_queries.h"
#include "platform/process.h"
#include "text_match.h"

namespace forgeval {
namespace {

using platform::FileFacts;
using platform::LoadedObject;
using platform::LocalDateTime;
using testing::ChunkSink;
using testing::FixedSystemQueries;

// Runs `write` on a report over a chunk sink and returns the text that reached it.
template <typename Write>
std::string ReportOf(Write write) {
  ChunkSink sink;
  {
    ReportFile report(sink.fd());
    write(report);
    FlushReportText(report);
  }
  return sink.Text();
}

TEST(FormatLocalFileTimeTest, SecondsAreRoundedDownToEven) {
  char text[64] = "untouched";
  ASSERT_TRUE(FormatLocalFileTime(text, sizeof text, LocalDateTime{2025, 3, 14, 9, 5, 7}));
  EXPECT_STREQ(text, "3/14/2025 09:05:06");
  ASSERT_TRUE(FormatLocalFileTime(text, sizeof text, LocalDateTime{1980, 1, 1, 0, 0, 0}));
  EXPECT_STREQ(text, "1/1/1980 00:00:00");
  ASSERT_TRUE(FormatLocalFileTime(text, sizeof text, LocalDateTime{2107, 12, 31, 23, 59, 59}));
  EXPECT_STREQ(text, "12/31/2107 23:59:58");
}

TEST(FormatLocalFileTimeTest, YearsTheTwoSecondFormCannotHoldLeaveTheTextUntouched) {
  char text[64] = "untouched";
  EXPECT_FALSE(FormatLocalFileTime(text, sizeof text, LocalDateTime{1979, 12, 31, 23, 59, 58}));
  EXPECT_FALSE(FormatLocalFileTime(text, sizeof text, LocalDateTime{2108, 1, 1, 0, 0, 0}));
  EXPECT_STREQ(text, "untouched");
}

FixedSystemQueries MachineFacts() {
  FixedSystemQueries queries;
  queries.memory.load_percent = 37;
  queries.memory.physical_total = 16ull << 30;
  queries.memory.physical_free = (10ull << 30) + 1;  // rounded up to the next MiB
  queries.memory.swap_total = 2ull << 30;
  queries.memory.swap_free = 1048575;
  queries.memory.address_space_total = platform::kUserAddressSpaceBytes;
  queries.memory.address_space_free = platform::kUserAddressSpaceBytes - (300ull << 20);
  return queries;
}

TEST(WriteSystemSectionTest, DescribesTheMachineLineByLine) {
  const FixedSystemQueries queries = MachineFacts();
  const std::string text = ReportOf([&](ReportFile& r) { WriteSystemSection(r, queries); });
  EXPECT_EQ(text,
            "Error occurred at 3/14/2025 09:05:06.\r\n"
            "/opt/forgeval/forgeval, run by operator.\r\n"
            "Operating system:  Debian GNU/Linux 12 (bookworm) (6.1.0-18-amd64).\r\n"
            "2 processor(s), type 8664.\r\n"
            "37% memory in use.\r\n"
            "16384 MBytes physical memory.\r\n"
            "10241 MBytes physical memory free.\r\n"
            "2048 MBytes paging file.\r\n"
            "1 MBytes paging file free.\r\n"
            "134217728 MBytes user address space.\r\n"
            "134217428 MBytes user address space free.\r\n");
}

TEST(WriteSystemSectionTest, FailedQueriesShowTheirFallbacks) {
  FixedSystemQueries queries = MachineFacts();
  queries.program_path.reset();
  queries.user_name.reset();
  queries.distribution.reset();
  queries.kernel_release.reset();
  queries.local_time.reset();
  const std::string text = ReportOf([&](ReportFile& r) { WriteSystemSection(r, queries); });
  EXPECT_TRUE(
      text.starts_with("Error occurred at .\r\n"
                       "Unknown, run by Unknown.\r\n"
                       "Operating system:  Linux ().\r\n"))
      << text;
}

TEST(WriteSystemSectionTest, RealMachine) {
  const std::string text =
      ReportOf([](ReportFile& r) { WriteSystemSection(r, platform::RealSystemQueries()); });
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_NE(text.find(std::string(" (") + names.release + ").\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(platform::ProgramPath() + ", run by "), std::string::npos) << text;
  EXPECT_NE(text.find(" processor(s), type 8664.\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n134217728 MBytes user address space.\r\n"), std::string::npos);
  EXPECT_TRUE(testing::Contains(
      text, R"(^Error occurred at \d{1,2}/\d{1,2}/\d{4} \d\d:\d\d:\d[02468]\.\r\n)"))
      << text;
}

LoadedObject Object(const std::string& path, uint64_t base, uint64_t span,
                    const std::string& soname) {
  LoadedObject object;
  object.path = path;
  object.base = base;
  object.span = span;
  object.soname = soname;
  return object;
}

TEST(WriteModuleEntryTest, FieldsFromTheObjectAndItsFile) {
  FixedSystemQueries queries;
  LoadedObject object = Object("/usr/lib/x86_64-linux-gnu/libstdc++.so.6", 0x7f12'3456'0000,
                               0x21a000, "libstdc++.so.6");
  object.build_id = {0x28, 0x9e, 0xe3, 0x9f, 0x01, 0x02};
  queries.files[object.path] = FileFacts{2190440, 0x67f3b659, "libstdc++.so.6.0.30"};
  const std::string text =
      ReportOf([&](ReportFile& r) { EXPECT_TRUE(WriteModuleEntry(r, object, 4, queries)); });
  EXPECT_EQ(text,
            "Module 4\r\n"
            "/usr/lib/x86_64-linux-gnu/libstdc++.so.6\r\n"
            "Image Base: 0x7f1234560000  Image Size: 0x0021a000\r\n"
            "Checksum:   0x289ee39f  Time Stamp: 0x67f3b659\r\n"
            "File Size:  2190440     File Time:  3/14/2025 09:05:06\r\n"
            "Version Information:\r\n"
            "   Company:    \r\n"
            "   Product:    \r\n"
            "   FileDesc:   libstdc++.so.6\r\n"
            "   FileVer:    6.0.30.0\r\n"
            "   ProdVer:    6.0.30.0\r\n"
            "\r\n");
}

TEST(WriteModuleEntryTest, ObjectsWithoutFileBuildIdOrVersion) {
  FixedSystemQueries queries;
  LoadedObject vdso = Object("linux-vdso.so.1", 0x7ffd'1000'0000, 0x2000, "linux-vdso.so.1");
  vdso.has_file = false;
  queries.files["linux-vdso.so.1"] = FileFacts{999, 999, "planted"};  // must not be asked
  LoadedObject program = Object("/opt/forgeval/forgeval", 0x400000, 0x4c000, "");
  program.build_id = {0xab, 0xcd};  // too short to give a checksum
  const std::string text = ReportOf([&](ReportFile& r) {
    WriteModuleEntry(r, vdso, 1, queries);
    WriteModuleEntry(r, program, 2, queries);
    EXPECT_FALSE(WriteModuleEntry(r, Object("/nothing", 0x1000, 0, ""), 3, queries));
  });
  EXPECT_EQ(
      text,
      "Module 1\r\nlinux-vdso.so.1\r\n"
      "Image Base: 0x7ffd10000000  Image Size: 0x00002000\r\n"
      "Checksum:   0x00000000  Time Stamp: 0x00000000\r\n"
      "File Size:  0           File Time:  \r\n"
      "Version Information:\r\n   Company:    \r\n   Product:    \r\n"
      "   FileDesc:   linux-vdso.so.1\r\n   FileVer:    1.0.0.0\r\n   ProdVer:    1.0.0.0\r\n\r\n"
      "Module 2\r\n/opt/forgeval/forgeval\r\n"
      "Image Base: 0x00400000  Image Size: 0x0004c000\r\n"
      "Checksum:   0x00000000  Time Stamp: 0x00000000\r\n"
      "File Size:  0           File Time:  \r\n"
      "Version Information:\r\n   Company:    \r\n   Product:    \r\n"
      "   FileDesc:   \r\n   FileVer:    0.0.0.0\r\n   ProdVer:    0.0.0.0\r\n\r\n");
}

TEST(ModuleVersionInfoTest, NumbersFromTheRealNameAndTextsCutTo197) {
  const std::string long_soname = "lib" + std::string(300, 'x') + ".so.1";
  const ModuleVersionInfo info(Object("/x", 0x1000, 0x1000, long_soname), "libx.so.1.2.3.4.5");
  EXPECT_EQ(info.FileDescription(), long_soname.substr(0, 197));
  EXPECT_EQ(info.CompanyName(), "");
  EXPECT_EQ(info.ProductName(), "");
  const unsigned* v = info.file_version();
  EXPECT_EQ(std::vector<unsigned>(v, v + 4), (std::vector<unsigned>{1, 2, 3, 4}));
  const ModuleVersionInfo odd(Object("/x", 0x1000, 0x1000, ""), "ld-linux-x86-64.so.2");
  v = odd.product_version();
  EXPECT_EQ(std::vector<unsigned>(v, v + 4), (std::vector<unsigned>{2, 0, 0, 0}));
  const ModuleVersionInfo none(Object("/x", 0x1000, 0x1000, ""), "libfoo.so");
  v = none.file_version();
  EXPECT_EQ(std::vector<unsigned>(v, v + 4), (std::vector<unsigned>{0, 0, 0, 0}));
}

// The entry text as the line formats give it, built here without the report buffer.
std::string ExpectedEntry(int number, const LoadedObject& object) {
  char text[2048];
  snprintf(text, sizeof text,
           "Module %d\r\n%s\r\nImage Base: 0x%08llx  Image Size: 0x%08llx\r\n"
           "Checksum:   0x00000000  Time Stamp: 0x00000000\r\n"
           "File Size:  0           File Time:  \r\n"
           "Version Information:\r\n   Company:    \r\n   Product:    \r\n"
           "   FileDesc:   %s\r\n   FileVer:    %d.0.0.0\r\n   ProdVer:    %d.0.0.0\r\n\r\n",
           number, object.path.c_str(), static_cast<unsigned long long>(object.base),
           static_cast<unsigned long long>(object.span), object.soname.c_str(), number % 7,
           number % 7);
  return text;
}

TEST(WriteModuleListTest, ALongListReachesTheFileWholeThroughSeveralChunks) {
  FixedSystemQueries queries;
  // Handed over out of order: the list is numbered in ascending address order.
  for (int i = 100; i >= 1; --i) {
    const std::string soname = "libmodule" + std::to_string(i) + ".so." + std::to_string(i % 7);
    queries.objects.push_back(Object("/usr/lib/forgeval/deep/folder/for/a/long/path/" + soname,
                                     0x7f00'0000'0000 + uint64_t(i) * 0x100000, 0x3000, soname));
  }
  std::string expected;
  for (int i = 1; i <= 100; ++i) expected += ExpectedEntry(i, queries.objects[size_t(100 - i)]);
  ASSERT_GT(expected.size(), 3 * ReportFile::kBufferBytes);

  ChunkSink sink;
  {
    ReportFile report(sink.fd());
    WriteModuleList(report, queries);
    FlushReportText(report);
  }
  const std::vector<std::string> chunks = sink.Chunks();
  std::string joined;
  for (const std::string& chunk : chunks) joined += chunk;
  EXPECT_EQ(joined, expected);
  ASSERT_GE(chunks.size(), 4u);
  for (size_t i = 0; i + 1 < chunks.size(); ++i) {
    EXPECT_GT(chunks[i].size(), ReportFile::kFlushThreshold);
    EXPECT_LE(chunks[i].size(), ReportFile::kBufferBytes);
  }
}

TEST(WriteModuleListTest, RealProcessListsTheProgramAndTheCLibrary) {
  const std::string text =
      ReportOf([](ReportFile& r) { WriteModuleList(r, platform::RealSystemQueries()); });
  EXPECT_NE(text.find("Module 1\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n" + platform::ProgramPath() + "\r\n"), std::string::npos) << text;
  EXPECT_TRUE(testing::Contains(
      text,
      R"(\r\n/[^\r]*/libc\.so\.6\r\nImage Base: 0x[0-9a-f]{8,}  Image Size: 0x[0-9a-f]{8}\r\n)"
      R"(Checksum:   0x[0-9a-f]{8}  Time Stamp: 0x[0-9a-f]{8}\r\nFile Size:  [1-9]\d* +  File Time:  \d)"))
      << text;
  EXPECT_NE(text.find("   FileDesc:   libc.so.6\r\n   FileVer:    6.0.0.0\r\n"), std::string::npos);
  // Numbered from 1 without gaps, bases ascending.
  int expected_number = 1;
  unsigned long long last_base = 0;
  for (const auto& entry :
       testing::AllMatchGroups(text, R"(Module (\d+)\r\n[^\r]*\r\nImage Base: 0x([0-9a-f]+))")) {
    EXPECT_EQ(std::stoi(entry[0]), expected_number++);
    const unsigned long long base = std::stoull(entry[1], nullptr, 16);
    EXPECT_GT(base, last_base);
    last_base = base;
  }
  EXPECT_GE(expected_number, 4);  // program, libc, the loader and the vDSO at least
}

}  // namespace
}  // namespace forgeval
