#include "platform/process.h"

#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <thread>

#include "platform/memory_budget.h"
#include "platform/process_image.h"
#include "platform/system_queries.h"
#include "run_process.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

std::string Shell(const std::string& script) {
  return testing::RunProcess({"/bin/sh", "-c", script}, {}).output;
}
bool Mapped(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  const std::vector<MemoryMapping> maps = ReadMemoryMap();
  return std::any_of(maps.begin(), maps.end(),
                     [at](auto& m) { return at - m.start < m.end - m.start; });
}

// The program's folder holds its files; configured names may use either slash.
TEST(ProcessTest, PathsOfTheProgramAndOfConfiguredNames) {
  EXPECT_EQ(ProgramFolder() + "/forgeval_unit_tests", ProgramPath());
  EXPECT_EQ(FolderOf("C:\\T\\f.exe") + "|" + FolderOf("a\\b/c\\d") + "|" + FolderOf("f") + "|" +
                PathInFolder("/o", ".\\l\\r.Log") + "|" + PathInFolder("/o", "\\v\\r.Log"),
            "C:\\T|a\\b||/o/./l/r.Log|/v/r.Log");
}

// The facts of the crash report and the run record as the system itself tells them.
TEST(SystemQueriesTest, FactsOfTheRealMachine) {
  const SystemQueries& real = RealSystemQueries();
  const MemoryFigures memory = real.Memory();
  EXPECT_EQ(real.HostName().value_or("") + "\n" + real.UserName().value_or("") + "\n" +
                real.DistributionName().value_or("") + "\n" + real.ProcessorModel().value_or("") +
                "\n" + std::to_string(memory.physical_total >> 10) + "\n" +
                std::to_string(memory.swap_total >> 10) + "\n",
            Shell("uname -n; id -un; (. /etc/os-release; echo \"$PRETTY_NAME\"); sed -n 's/^model "
                  "name[[:space:]]*: *//p' /proc/cpuinfo | head -1; awk "
                  "'/^(MemTotal|SwapTotal):/{print $2}' /proc/meminfo"));
  EXPECT_TRUE(memory.physical_free > 0 && memory.physical_free < memory.physical_total &&
              memory.load_percent > 0 && memory.load_percent < 100 &&
              memory.swap_free <= memory.swap_total);
  const uint64_t used = std::stoull(
      Shell("awk '/^VmSize:/{print $2}' /proc/" + std::to_string(getpid()) + "/status"));
  EXPECT_NEAR(static_cast<double>(memory.address_space_free),
              static_cast<double>(kUserAddressSpaceBytes - (used << 10)), 64 << 20);
  EXPECT_LE(std::abs(real.Now() - time(nullptr)), 2);
  const time_t moment = 1741943107;
  tm e{};
  ASSERT_NE(localtime_r(&moment, &e), nullptr);
  const LocalDateTime t = real.ToLocalTime(moment).value_or(LocalDateTime{});
  EXPECT_EQ(
      std::vector({t.year, t.month, t.day, t.hour, t.minute, t.second}),
      std::vector({e.tm_year + 1900, e.tm_mon + 1, e.tm_mday, e.tm_hour, e.tm_min, e.tm_sec}));
  testing::TempDir dir;
  Shell("cd " + dir.path() +
        " && truncate -s 12345 a.so.3.1 && touch -d @1600000000 a.so.3.1 && "
        "ln -s a.so.3.1 a.so.3");
  const FileFacts file = real.FileFactsOf(dir.File("a.so.3")).value_or(FileFacts{});
  EXPECT_EQ(std::tie(file.size, file.modified, file.real_name),
            std::make_tuple(12345u, 1600000000, "a.so.3.1"));
  EXPECT_EQ(real.FileFactsOf(dir.File("missing")), std::nullopt);
  // The C library by the address of one of its functions (no sanitizer intercepts it).
  const uintptr_t in_libc = reinterpret_cast<uintptr_t>(&gnu_get_libc_version);
  int found = 0;
  for (const LoadedObject& object : real.LoadedObjects()) {
    found += in_libc - object.base < object.span && object.soname == "libc.so.6" &&
             object.path.ends_with("/libc.so.6") && object.build_id.size() == 20;
    found += !object.has_file && object.path == "linux-vdso.so.1";
  }
  EXPECT_EQ(found, 2);
}

// The crash dump reads memory up to a hole instead of faulting on it, and names the process.
TEST(ProcessImageTest, SelfMemoryStopsAtAHoleAndIdentity) {
  const size_t page = PageSize();
  auto* block = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(block, MAP_FAILED);
  memset(block, 0x3C, page);
  ASSERT_EQ(munmap(block + page, page), 0);
  std::vector<char> copy(2 * page);
  const SelfMemory memory;
  EXPECT_EQ(memory.Read(reinterpret_cast<uintptr_t>(block), copy.data(), copy.size()), page);
  EXPECT_EQ(memcmp(copy.data(), block, page), 0);
  EXPECT_EQ(memory.Read(reinterpret_cast<uintptr_t>(block + page), copy.data(), page), 0u);
  munmap(block, page);
  const ProcessIdentity id = ReadProcessIdentity();
  EXPECT_EQ(std::vector<long>(
                {id.pid, id.parent_pid, id.process_group, id.session, id.user_id, id.group_id}),
            std::vector<long>({getpid(), getppid(), getpgrp(), getsid(0), getuid(), getgid()}));
  EXPECT_EQ(id.command, std::string(program_invocation_short_name).substr(0, 15));
}

// Blocks are backed and zeroed, locked for root, refused beyond the room, unmapped once
// released; workers allocating at once each get their own.
TEST(MemoryBudgetTest, BlocksWithinTheRoom) {
  const size_t room = MemoryRoomLeft().value_or(0), beyond = room + (size_t{1} << 30);
  const size_t available = std::stoull(Shell("awk '/^MemAvailable:/{print $2}' /proc/meminfo"));
  EXPECT_GT(MemorySafetyMargin(), size_t{256} << 20);
  EXPECT_LE(room + MemorySafetyMargin(), (available << 10) + (64 << 20));
  const void* data = nullptr;
  {
    BudgetedBlock block(4096000);
    data = block.data();
    ASSERT_TRUE(block && Mapped(data));
    EXPECT_EQ(
        std::count(static_cast<const char*>(data), static_cast<const char*>(data) + 4096000, 0),
        4096000);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 4096 + block.size(), 4096000u);
    EXPECT_TRUE(block.locked() || geteuid() != 0);
    BudgetedBlock moved = std::move(block);
    EXPECT_TRUE(!block && Mapped(data));
  }
  EXPECT_FALSE(Mapped(data));
  EXPECT_FALSE(BudgetedBlock(beyond));
  EXPECT_THROW(AllocateBudgetedOrThrow(beyond), std::bad_alloc);
  EXPECT_TRUE(FitsMemoryRoom(4096000) && !FitsMemoryRoom(beyond));
  SetBudgetRefusalForTesting([](size_t bytes) { return bytes == 734003; });
  EXPECT_TRUE(!BudgetedBlock(734003) && BudgetedBlock(91750));
  SetBudgetRefusalForTesting(nullptr);
  EXPECT_TRUE(BudgetedBlock(734003));
  std::vector<void*> seen(4);
  std::vector<std::thread> workers;
  for (size_t i = 0; i < seen.size(); ++i) {
    workers.emplace_back([&seen, i] { seen[i] = BudgetedBlock(8 << 20).data(); });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), nullptr), 0);
}

}  // namespace
}  // namespace forgeval::platform
