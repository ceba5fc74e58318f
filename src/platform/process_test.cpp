#include "platform/process.h"

#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <sstream>
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

// The facts of the crash report and the run record as the system itself tells them.
TEST(SystemQueriesTest, FactsOfTheRealMachine) {
  const SystemQueries& real = RealSystemQueries();
  const uint64_t used = std::stoull(
      Shell("awk '/^VmSize:/{print $2}' /proc/" + std::to_string(getpid()) + "/status"));
  const MemoryFigures memory = real.Memory();
  const LocalDateTime t = real.ToLocalTime(1741943107).value_or(LocalDateTime{});
  testing::TempDir dir;
  Shell("cd " + dir.path() +
        " && truncate -s 12345 a.so.3.1 && touch -d @1600000000 a.so.3.1 && "
        "ln -s a.so.3.1 a.so.3");
  const FileFacts file = real.FileFactsOf(dir.File("a.so.3")).value_or(FileFacts{});
  std::ostringstream facts;
  facts << real.HostName().value_or("") << '|' << real.UserName().value_or("") << '|'
        << real.DistributionName().value_or("") << '|' << real.ProcessorModel().value_or("") << '|'
        << (memory.physical_total >> 10) << '|' << (memory.swap_total >> 10) << '|' << t.year << ' '
        << t.month << ' ' << t.day << ' ' << t.hour << ' ' << t.minute << ' ' << t.second << '|'
        << file.size << ' ' << file.modified << ' ' << file.real_name << '|';
  EXPECT_EQ(
      facts.str(),
      Shell("{ uname -n; id -un; (. /etc/os-release; echo \"$PRETTY_NAME\"); sed -n 's/^model "
            "name[[:space:]]*: *//p' /proc/cpuinfo | head -1; awk '/^(MemTotal|SwapTotal):/"
            "{print $2}' /proc/meminfo; date -d @1741943107 '+%Y %-m %-d %-H %-M %-S'; echo "
            "12345 1600000000 a.so.3.1; } | tr '\\n' '|'"));
  EXPECT_EQ(real.FileFactsOf(dir.File("missing")), std::nullopt);
  EXPECT_TRUE(memory.physical_free > 0 && memory.physical_free < memory.physical_total &&
              memory.load_percent > 0 && memory.load_percent < 100 &&
              memory.swap_free <= memory.swap_total);
  EXPECT_NEAR(static_cast<double>(memory.address_space_free),
              static_cast<double>(kUserAddressSpaceBytes - (used << 10)),
              static_cast<double>(used << 9));  // half of what the process uses
  // The C library, found by the address of a function no sanitizer intercepts, and the vdso.
  const uintptr_t in_libc = reinterpret_cast<uintptr_t>(&gnu_get_libc_version);
  int found = 0;
  for (const LoadedObject& object : real.LoadedObjects()) {
    found += in_libc - object.base < object.span && object.soname == "libc.so.6" &&
             object.path.ends_with("/libc.so.6") && object.build_id.size() == 20;
    found += !object.has_file && object.path == "linux-vdso.so.1";
  }
  EXPECT_EQ(found, 2);
}

// The crash dump reads memory up to a hole instead of faulting on it, names the process and
// is written beside the program.
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
  // The memory map tells each mapping's rights and file: the block's and the program's code.
  const std::vector<MemoryMapping> maps = ReadMemoryMap();
  const auto mapping_of = [&maps](const void* address) -> const MemoryMapping* {
    const uint64_t at = reinterpret_cast<uintptr_t>(address);
    for (const MemoryMapping& m : maps) {
      if (at >= m.start && at < m.end) return &m;
    }
    return nullptr;
  };
  const MemoryMapping* data = mapping_of(block);
  const MemoryMapping* code = mapping_of(reinterpret_cast<const void*>(&ReadMemoryMap));
  ASSERT_TRUE(data != nullptr && code != nullptr);
  EXPECT_EQ(std::vector<bool>({data->readable, data->writable, data->executable, data->shared,
                               data->file_backed()}),
            std::vector<bool>({true, true, false, false, false}));
  EXPECT_EQ(std::vector<bool>({code->readable, code->writable, code->executable, code->shared,
                               code->file_backed()}),
            std::vector<bool>({true, false, true, false, true}));
  EXPECT_EQ(code->name, ProgramPath());
  munmap(block, page);
  const ProcessIdentity id = ReadProcessIdentity();
  EXPECT_EQ(
      std::vector<long>({id.parent_pid, id.process_group, id.session, id.user_id, id.group_id}),
      std::vector<long>({getppid(), getpgrp(), getsid(0), getuid(), getgid()}));
  EXPECT_EQ(id.command, std::string(program_invocation_short_name).substr(0, 15));
  EXPECT_EQ(ProgramFolder() + "/forgeval_unit_tests", ProgramPath());
  EXPECT_EQ(FolderOf("C:\\T\\f.exe") + "|" + FolderOf("a\\b/c\\d") + "|" + FolderOf("f"),
            "C:\\T|a\\b|");
}

// Blocks are backed, zeroed and locked for root, refused beyond the room and unmapped once
// released; workers allocating at once each get their own.
TEST(MemoryBudgetTest, BlocksWithinTheRoom) {
  const auto available = [] {
    return size_t{std::stoull(Shell("awk '/^MemAvailable:/{print $2}' /proc/meminfo"))} << 10;
  };
  const size_t before = available(), room = MemoryRoomLeft().value_or(0);
  const size_t beyond = room + (size_t{1} << 30);
  EXPECT_GT(MemorySafetyMargin(), size_t{256} << 20);
  EXPECT_LE(room + MemorySafetyMargin() / 2, std::max(before, available()));
  const char* data = nullptr;
  {
    BudgetedBlock block(4096000);
    data = static_cast<const char*>(block.data());
    ASSERT_TRUE(block && Mapped(data) && reinterpret_cast<uintptr_t>(data) % 4096 == 0);
    EXPECT_EQ(std::count(data, data + block.size(), 0), 4096000);
    EXPECT_TRUE(block.locked() || geteuid() != 0);
    BudgetedBlock moved = std::move(block);
    EXPECT_TRUE(!block && Mapped(data));
  }
  EXPECT_FALSE(Mapped(data));
  EXPECT_FALSE(BudgetedBlock(beyond) || FitsMemoryRoom(beyond) || !FitsMemoryRoom(4096000));
  EXPECT_THROW(AllocateBudgetedOrThrow(beyond), std::bad_alloc);
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
