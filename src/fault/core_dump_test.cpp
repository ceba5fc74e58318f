#include "fault/core_dump.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/user.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "faults.h"
#include "platform/files.h"
#include "platform/memory_budget.h"
#include "platform/process.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using platform::FaultPointers;

// Written at run time before the dump, so only a copy of live memory can hold this value.
volatile uint64_t g_data_marker = 1;
constexpr uint64_t kDataMarker = 0x0DA7A5E6'3E47C0DEull;

// A core file read back with the system's own ELF definitions.
struct Core {
  std::string bytes;
  Elf64_Ehdr header{};
  std::vector<Elf64_Phdr> segments;
  std::vector<std::pair<uint32_t, std::string>> notes;  // type, descriptor

  explicit Core(std::string content) : bytes(std::move(content)) {
    if (bytes.size() < sizeof header) return;
    memcpy(&header, bytes.data(), sizeof header);
    for (size_t i = 0; i < header.e_phnum; ++i) {
      Elf64_Phdr segment;
      memcpy(&segment, bytes.data() + header.e_phoff + i * sizeof segment, sizeof segment);
      segments.push_back(segment);
    }
    if (segments.empty() || segments[0].p_type != PT_NOTE) return;
    size_t at = segments[0].p_offset;
    const size_t end = at + segments[0].p_filesz;
    while (at + sizeof(Elf64_Nhdr) <= end) {
      Elf64_Nhdr note;
      memcpy(&note, bytes.data() + at, sizeof note);
      const size_t descriptor = at + sizeof note + ((note.n_namesz + 3) & ~3u);
      notes.emplace_back(note.n_type, bytes.substr(descriptor, note.n_descsz));
      at = descriptor + ((note.n_descsz + 3) & ~3u);
    }
  }
  const std::string* Note(uint32_t type) const {
    for (const auto& [note_type, descriptor] : notes) {
      if (note_type == type) return &descriptor;
    }
    return nullptr;
  }
  const Elf64_Phdr* SegmentAt(uint64_t address) const {
    for (const Elf64_Phdr& segment : segments) {
      if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
          address < segment.p_vaddr + segment.p_memsz)
        return &segment;
    }
    return nullptr;
  }
  // The saved bytes at `address`, or nothing when the core holds no contents there.
  std::string MemoryAt(uint64_t address, size_t size) const {
    const Elf64_Phdr* segment = SegmentAt(address);
    if (segment == nullptr || address + size > segment->p_vaddr + segment->p_filesz) return {};
    return bytes.substr(segment->p_offset + (address - segment->p_vaddr), size);
  }
};

void MarkedXmm7(void*) { FaultWithMarkedXmm7(); }

class CoreDumpTest : public ::testing::Test {
 protected:
  CoreDumpSummary Write(const FaultPointers* pointers) {
    platform::ReplacementFile file(dir_.File("CRASH.DMP"));
    const CoreDumpSummary summary = WriteCrashDump(file.fd(), pointers);
    EXPECT_TRUE(file.Commit());
    return summary;
  }
  Core Read() const { return Core(testing::ReadFile(dir_.File("CRASH.DMP"))); }

  testing::TempDir dir_;
};

TEST_F(CoreDumpTest, HoldsTheFaultingThreadAndTheNotesADebuggerNeeds) {
  platform::ThreadFaultGuard guard;
  FaultPointers pointers;
  ASSERT_FALSE(platform::RunGuarded(&MarkedXmm7, nullptr, &pointers));
  const platform::FaultContext& context = *pointers.context;
  ::testing::internal::CaptureStderr();
  const CoreDumpSummary summary = Write(&pointers);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "writing minidump\r\n");
  ASSERT_TRUE(summary.written);

  const Core core = Read();
  EXPECT_EQ(core.bytes.size(), summary.file_bytes);
  EXPECT_EQ(memcmp(core.header.e_ident, ELFMAG, SELFMAG), 0);
  EXPECT_EQ(core.header.e_ident[EI_CLASS], ELFCLASS64);
  EXPECT_EQ(core.header.e_type, ET_CORE);
  EXPECT_EQ(core.header.e_machine, EM_X86_64);
  EXPECT_EQ(core.segments.size(), summary.segments + 1);

  std::vector<uint32_t> types;
  for (const auto& note : core.notes) types.push_back(note.first);
  EXPECT_EQ(types, (std::vector<uint32_t>{NT_PRSTATUS, NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE,
                                          NT_PRFPREG}));

  const std::string* status_note = core.Note(NT_PRSTATUS);
  ASSERT_TRUE(status_note != nullptr);
  ASSERT_EQ(status_note->size(), sizeof(elf_prstatus));
  elf_prstatus status;
  memcpy(&status, status_note->data(), sizeof status);
  user_regs_struct registers;
  memcpy(&registers, status.pr_reg, sizeof registers);
  EXPECT_EQ(status.pr_pid, gettid());
  EXPECT_EQ(status.pr_cursig, SIGILL);
  EXPECT_EQ(registers.rip, pointers.record->address);
  EXPECT_EQ(registers.rsp, context.stack_address);
  EXPECT_EQ(registers.fs_base, reinterpret_cast<uint64_t>(pthread_self()));
  EXPECT_EQ(registers.cs, 0x33u);
  EXPECT_EQ(status.pr_fpvalid, 1);

  const std::string* fp_note = core.Note(NT_PRFPREG);
  ASSERT_TRUE(fp_note != nullptr);
  ASSERT_EQ(fp_note->size(), sizeof(user_fpregs_struct));
  uint64_t xmm7 = 0;
  memcpy(&xmm7, fp_note->data() + 160 + 7 * 16, sizeof xmm7);
  EXPECT_EQ(xmm7, testing::kXmm7Marker);

  siginfo_t info;
  ASSERT_EQ(core.Note(NT_SIGINFO)->size(), sizeof info);
  memcpy(&info, core.Note(NT_SIGINFO)->data(), sizeof info);
  EXPECT_EQ(info.si_signo, SIGILL);

  EXPECT_EQ(*core.Note(NT_AUXV), testing::ReadFile("/proc/self/auxv"));
  elf_prpsinfo process;
  ASSERT_EQ(core.Note(NT_PRPSINFO)->size(), sizeof process);
  memcpy(&process, core.Note(NT_PRPSINFO)->data(), sizeof process);
  EXPECT_EQ(process.pr_pid, getpid());
  std::string arguments = testing::ReadFile("/proc/self/cmdline");
  while (!arguments.empty() && arguments.back() == '\0') arguments.pop_back();
  for (char& c : arguments) c = c == '\0' ? ' ' : c;
  EXPECT_EQ(std::string(process.pr_psargs), arguments.substr(0, 79));
  EXPECT_NE(core.Note(NT_FILE)->find(platform::ProgramPath() + '\0'), std::string::npos);
}

TEST_F(CoreDumpTest, SavesTheStackOfTheFaultAndTheDataButNotLargeBuffersOrCode) {
  platform::ThreadFaultGuard guard;
  FaultPointers pointers;
  ASSERT_FALSE(platform::RunGuarded(&MarkedXmm7, nullptr, &pointers));
  const platform::FaultContext& context = *pointers.context;
  g_data_marker = kDataMarker;
  platform::BudgetedBlock buffer(8 << 20);
  if (buffer) memset(buffer.data(), 0x5A, buffer.size());
  Write(&pointers);
  const Core core = Read();

  // The stack as it was at the fault, at the address it had, from the stack pointer up.
  const Elf64_Phdr* stack = core.SegmentAt(context.stack_address);
  ASSERT_TRUE(stack != nullptr);
  EXPECT_EQ(stack->p_vaddr, context.stack_address);
  ASSERT_GT(context.stack_size, 1024u);
  EXPECT_TRUE(core.MemoryAt(context.stack_address, context.stack_size) ==
              std::string(reinterpret_cast<const char*>(context.stack), context.stack_size));
  // Offsets follow the addresses modulo the page size.
  for (const Elf64_Phdr& segment : core.segments) {
    if (segment.p_type == PT_LOAD && segment.p_filesz > 0) {
      EXPECT_EQ(segment.p_offset % 4096, segment.p_vaddr % 4096);
    }
  }

  const uint64_t marker_address = reinterpret_cast<uintptr_t>(&g_data_marker);
  const std::string marker = core.MemoryAt(marker_address, sizeof kDataMarker);
  ASSERT_EQ(marker.size(), sizeof kDataMarker);
  uint64_t saved = 0;
  memcpy(&saved, marker.data(), sizeof saved);
  EXPECT_EQ(saved, kDataMarker);

  // Code is read from the program's file; the segment is there without contents.
  const Elf64_Phdr* code = core.SegmentAt(reinterpret_cast<uintptr_t>(&FaultWithMarkedXmm7));
  ASSERT_TRUE(code != nullptr);
  EXPECT_EQ(code->p_flags & PF_X, static_cast<Elf64_Word>(PF_X));
  EXPECT_EQ(code->p_filesz, 0u);

  if (!buffer) GTEST_SKIP() << "no room for an 8 MiB test buffer on this machine";
  const Elf64_Phdr* large = core.SegmentAt(reinterpret_cast<uintptr_t>(buffer.data()));
  ASSERT_TRUE(large != nullptr);
  EXPECT_GE(large->p_memsz, buffer.size());
  EXPECT_EQ(large->p_filesz, 0u);
}

TEST_F(CoreDumpTest, ManySmallBuffersDoNotSwellTheDump) {
  // 48 separate 512 KiB mappings (alternating rights keep the kernel from merging them).
  constexpr size_t kBlock = 512 * 1024;
  std::vector<char*> blocks;
  for (int i = 0; i < 48; ++i) {
    const int rights = i % 2 == 0 ? PROT_READ | PROT_WRITE : PROT_READ;
    void* block = mmap(nullptr, kBlock, rights, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    blocks.push_back(static_cast<char*>(block));
  }
  Write(nullptr);
  const Core core = Read();
  uint64_t saved = 0;
  for (char* block : blocks) {
    const Elf64_Phdr* segment = core.SegmentAt(reinterpret_cast<uintptr_t>(block));
    ASSERT_TRUE(segment != nullptr);
    saved += segment->p_filesz;
    munmap(block, kBlock);
  }
  EXPECT_GT(saved, 0u);
  EXPECT_LE(saved, uint64_t{16} << 20);
}

TEST_F(CoreDumpTest, WithoutAFaultItShowsTheCallingThreadAsABreakpointWould) {
  ::testing::internal::CaptureStderr();
  const CoreDumpSummary summary = Write(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "raising exception\r\nwriting minidump\r\n");
  ASSERT_TRUE(summary.written);
  const Core core = Read();
  elf_prstatus status;
  ASSERT_TRUE(core.Note(NT_PRSTATUS) != nullptr);
  memcpy(&status, core.Note(NT_PRSTATUS)->data(), sizeof status);
  user_regs_struct registers;
  memcpy(&registers, status.pr_reg, sizeof registers);
  EXPECT_EQ(status.pr_cursig, SIGTRAP);
  EXPECT_EQ(status.pr_pid, gettid());
  // The stack pointer lies in this thread's stack, whose top part the core holds.
  int here = 0;
  const uint64_t local = reinterpret_cast<uintptr_t>(&here);
  EXPECT_LT(registers.rsp, local);
  EXPECT_GT(registers.rsp + 64 * 1024, local);
  EXPECT_EQ(core.MemoryAt(registers.rsp, 16).size(), 16u);
  const Elf64_Phdr* code = core.SegmentAt(registers.rip);
  ASSERT_TRUE(code != nullptr);
  EXPECT_EQ(code->p_flags & PF_X, static_cast<Elf64_Word>(PF_X));
}

}  // namespace
}  // namespace forgeval
