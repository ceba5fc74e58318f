#include "platform/system_queries.h"

#include <fcntl.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/process.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

const SystemQueries& Real() { return RealSystemQueries(); }

std::string ShellOutput(const char* command) {
  std::string output;
  if (FILE* pipe = popen(command, "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
  }
  return output;
}

TEST(SystemQueriesTest, UserDistributionKernelAndProcessors) {
  const passwd* user = getpwuid(geteuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(Real().UserName(), std::string(user->pw_name));
  const std::string pretty =
      ShellOutput("sh -c '. /etc/os-release 2>/dev/null && printf %s \"$PRETTY_NAME\"'");
  if (pretty.empty()) {
    EXPECT_EQ(Real().DistributionName(), std::nullopt);
  } else {
    EXPECT_EQ(Real().DistributionName(), pretty);
  }
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(Real().KernelRelease(), std::string(names.release));
  EXPECT_EQ(Real().HostName(), std::string(names.nodename));
  const std::string model = ShellOutput(
      "sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -n 1 | tr -d '\\n'");
  if (model.empty()) {
    EXPECT_EQ(Real().ProcessorModel(), std::nullopt);
  } else {
    EXPECT_EQ(Real().ProcessorModel(), model);
  }
  EXPECT_EQ(Real().ProcessorsOnline(), sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(Real().ProgramPath(), ProgramPath());
}

TEST(SystemQueriesTest, MemoryFigures) {
  const MemoryFigures memory = Real().Memory();
  EXPECT_GT(memory.physical_total, uint64_t{64} << 20);
  EXPECT_LE(memory.physical_free, memory.physical_total);
  EXPECT_LE(memory.load_percent, 100u);
  EXPECT_LE(memory.swap_free, memory.swap_total);
  EXPECT_EQ(memory.address_space_total, uint64_t{1} << 47);
  // Free is the total less the process's virtual size (which a sanitizer makes huge).
  const std::string status = testing::ReadFile("/proc/self/status");
  const size_t at = status.find("VmSize:");
  ASSERT_NE(at, std::string::npos);
  const uint64_t virtual_size = std::stoull(status.substr(at + 7)) * 1024;
  EXPECT_LT(memory.address_space_free, memory.address_space_total);
  EXPECT_NEAR(static_cast<double>(memory.address_space_free),
              static_cast<double>(memory.address_space_total - virtual_size), 64.0 * (1 << 20));
}

TEST(SystemQueriesTest, LocalTimeIsTheCalendarOfTheTimeZone) {
  const int64_t now = Real().Now();
  EXPECT_LE(std::abs(now - static_cast<int64_t>(time(nullptr))), 2);
  const time_t moment = 1741943107;
  tm expected{};
  ASSERT_NE(localtime_r(&moment, &expected), nullptr);
  const std::optional<LocalDateTime> local = Real().ToLocalTime(moment);
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->year, expected.tm_year + 1900);
  EXPECT_EQ(local->month, expected.tm_mon + 1);
  EXPECT_EQ(local->day, expected.tm_mday);
  EXPECT_EQ(local->hour, expected.tm_hour);
  EXPECT_EQ(local->minute, expected.tm_min);
  EXPECT_EQ(local->second, expected.tm_sec);
}

TEST(SystemQueriesTest, FileFactsFollowLinksToTheRealFile) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("libdemo.so.3.1.4"), std::string(12345, 'x'));
  const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.File("libdemo.so.3.1.4").c_str(), times, 0), 0);
  std::filesystem::create_symlink("libdemo.so.3.1.4", dir.File("libdemo.so.3"));
  const std::optional<FileFacts> facts = Real().FileFactsOf(dir.File("libdemo.so.3"));
  ASSERT_TRUE(facts.has_value());
  EXPECT_EQ(facts->size, 12345u);
  EXPECT_EQ(facts->modified, 1600000000);
  EXPECT_EQ(facts->real_name, "libdemo.so.3.1.4");
  EXPECT_EQ(Real().FileFactsOf(dir.File("missing")), std::nullopt);
}

TEST(LoadedObjectsTest, TheProgramTheCLibraryAndTheVdso) {
  const std::vector<LoadedObject> objects = Real().LoadedObjects();
  ASSERT_GE(objects.size(), 4u);
  for (size_t i = 1; i < objects.size(); ++i) EXPECT_LT(objects[i - 1].base, objects[i].base);

  const uint64_t code = reinterpret_cast<uintptr_t>(&ListLoadedObjects);
  const LoadedObject* program = nullptr;
  const LoadedObject* libc = nullptr;
  const LoadedObject* vdso = nullptr;
  for (const LoadedObject& object : objects) {
    if (code >= object.base && code < object.base + object.span) program = &object;
    if (object.soname == "libc.so.6") libc = &object;
    if (!object.has_file) vdso = &object;
  }
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program->path, ProgramPath());
  EXPECT_TRUE(program->has_file);
  EXPECT_EQ(program->base % 4096, 0u);
  EXPECT_EQ(program->span % 4096, 0u);
  ASSERT_NE(libc, nullptr);
  EXPECT_TRUE(libc->path.ends_with("/libc.so.6")) << libc->path;
  EXPECT_EQ(libc->build_id.size(), 20u);  // a SHA-1 build id, as Debian builds them
  // A function no sanitizer intercepts, so its address is the C library's own.
  const uintptr_t in_libc = reinterpret_cast<uintptr_t>(&gnu_get_libc_version);
  EXPECT_TRUE(in_libc >= libc->base && in_libc < libc->base + libc->span);
  ASSERT_NE(vdso, nullptr);
  EXPECT_EQ(vdso->path, "linux-vdso.so.1");
}

}  // namespace
}  // namespace forgeval::platform
