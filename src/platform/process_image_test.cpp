#include "platform/process_image.h"

#include <elf.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/process.h"

namespace forgeval::platform {
namespace {

const MemoryMapping* MappingOf(const std::vector<MemoryMapping>& mappings, const void* address) {
  const uint64_t at = reinterpret_cast<uintptr_t>(address);
  for (const MemoryMapping& mapping : mappings) {
    if (at >= mapping.start && at < mapping.end) return &mapping;
  }
  return nullptr;
}

TEST(ProcessImageTest, MemoryMapDescribesStackAndCode) {
  int local = 0;
  const std::vector<MemoryMapping> mappings = ReadMemoryMap();
  ASSERT_FALSE(mappings.empty());
  for (size_t i = 1; i < mappings.size(); ++i) EXPECT_LE(mappings[i - 1].end, mappings[i].start);

  const MemoryMapping* stack = MappingOf(mappings, &local);
  ASSERT_NE(stack, nullptr);
  EXPECT_TRUE(stack->readable && stack->writable && !stack->executable && !stack->shared);
  EXPECT_FALSE(stack->file_backed());

  const MemoryMapping* code = MappingOf(mappings, reinterpret_cast<const void*>(&ReadMemoryMap));
  ASSERT_NE(code, nullptr);
  EXPECT_TRUE(code->readable && code->executable && !code->writable);
  EXPECT_TRUE(code->file_backed());
  EXPECT_EQ(code->name, ProgramPath());
  EXPECT_EQ(code->file_offset % 4096, 0u);
}

TEST(ProcessImageTest, SelfMemoryStopsAtAnUnmappedPage) {
  const size_t page = PageSize();
  auto* block = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(block, MAP_FAILED);
  memset(block, 0x3C, page);
  ASSERT_EQ(munmap(block + page, page), 0);  // a hole right after the readable page
  const SelfMemory memory;
  ASSERT_TRUE(memory.valid());
  std::vector<char> copy(2 * page, 0);
  EXPECT_EQ(memory.Read(reinterpret_cast<uintptr_t>(block), copy.data(), copy.size()), page);
  EXPECT_EQ(memcmp(copy.data(), block, page), 0);
  EXPECT_EQ(memory.Read(reinterpret_cast<uintptr_t>(block + page), copy.data(), page), 0u);
  munmap(block, page);
}

TEST(ProcessImageTest, AuxiliaryVectorAndIdentity) {
  const std::string auxv = ReadAuxVector();
  ASSERT_GE(auxv.size(), 2 * sizeof(Elf64_auxv_t));
  EXPECT_EQ(auxv.size() % sizeof(Elf64_auxv_t), 0u);
  Elf64_auxv_t last;
  memcpy(&last, auxv.data() + auxv.size() - sizeof last, sizeof last);
  EXPECT_EQ(last.a_type, static_cast<uint64_t>(AT_NULL));

  const ProcessIdentity identity = ReadProcessIdentity();
  EXPECT_EQ(identity.pid, getpid());
  EXPECT_EQ(identity.parent_pid, getppid());
  EXPECT_EQ(identity.user_id, getuid());
  EXPECT_EQ(identity.command, std::string(program_invocation_short_name).substr(0, 15));
  EXPECT_TRUE(identity.arguments.starts_with(program_invocation_name)) << identity.arguments;
  EXPECT_EQ(identity.arguments.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace forgeval::platform
