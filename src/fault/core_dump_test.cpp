#include "fault/core_dump.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/procfs.h>
#include <sys/user.h>
#include <ucontext.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "faults.h"
#include "platform/files.h"
#include "platform/memory_budget.h"
#include "platform/process.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

// Written at run time before the dump, so only a copy of live memory can hold this value.
volatile uint64_t g_data_marker = 1;
constexpr uint64_t kDataMarker = 0x0DA7A5E6'3E47C0DEull;

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

Ranges Mappings() {
  std::istringstream maps(testing::ReadFile("/proc/self/maps"));
  Ranges ranges;
  for (std::string line; std::getline(maps, line);) {
    size_t dash = 0;
    const uint64_t start = std::stoull(line, &dash, 16);
    ranges.emplace_back(start, std::stoull(line.substr(dash + 1), nullptr, 16));
  }
  return ranges;
}

// CRASH.DMP written into `dir` and read back with the system's own ELF definitions.
struct Core {
  std::string bytes;
  Elf64_Ehdr header{};
  std::vector<Elf64_Phdr> segments;
  std::vector<std::pair<uint32_t, std::string>> notes;  // type, descriptor
  Ranges before = Mappings();                           // of just before the dump

  Core(const testing::TempDir& dir, const platform::FaultPointers* pointers,
       const char* diagnostics) {
    platform::ReplacementFile file(dir.File("CRASH.DMP"));
    ::testing::internal::CaptureStderr();
    const CoreDumpSummary summary = WriteCrashDump(file.fd(), pointers);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), diagnostics);
    EXPECT_TRUE(summary.written && file.Commit());
    bytes = testing::ReadFile(dir.File("CRASH.DMP"));
    memcpy(&header, bytes.data(), std::min(sizeof header, bytes.size()));
    segments.resize(header.e_phnum);
    memcpy(segments.data(), bytes.data() + header.e_phoff, header.e_phnum * sizeof(Elf64_Phdr));
    EXPECT_TRUE(bytes.size() == summary.file_bytes && segments.size() == summary.segments + 1);
    for (size_t at = segments.at(0).p_offset; at < segments[0].p_offset + segments[0].p_filesz;) {
      Elf64_Nhdr note;
      memcpy(&note, bytes.data() + at, sizeof note);
      const size_t descriptor = at + sizeof note + ((note.n_namesz + 3) & ~3u);
      notes.emplace_back(note.n_type, bytes.substr(descriptor, note.n_descsz));
      at = descriptor + ((note.n_descsz + 3) & ~3u);
    }
  }
  template <typename T>
  T Note(uint32_t type) const {
    T value{};
    for (const auto& [note_type, data] : notes) {
      if (note_type == type && data.size() == sizeof value)
        memcpy(&value, data.data(), sizeof value);
    }
    return value;
  }
  const Elf64_Phdr* SegmentAt(uint64_t address) const {
    for (const Elf64_Phdr& s : segments) {
      if (s.p_type == PT_LOAD && address >= s.p_vaddr && address < s.p_vaddr + s.p_memsz) return &s;
    }
    return nullptr;
  }
  // The saved bytes at `address`, or nothing when the core holds no contents there.
  std::string MemoryAt(uint64_t address, size_t size) const {
    const Elf64_Phdr* s = SegmentAt(address);
    if (s == nullptr || address + size > s->p_vaddr + s->p_filesz) return {};
    return bytes.substr(s->p_offset + (address - s->p_vaddr), size);
  }
  // What every dump is: an x86-64 core exactly as long as its furthest segment, with file space
  // for contents only, at offsets congruent to their addresses, and each memory segment inside one
  // mapping of the process as it was just before or just after the dump.
  void ExpectWellFormed() const {
    EXPECT_TRUE(memcmp(header.e_ident, "\177ELF\2\1\1", 7) == 0 && header.e_type == ET_CORE &&
                header.e_machine == EM_X86_64);
    uint64_t end = 0, packed = sizeof header + segments.size() * sizeof(Elf64_Phdr);
    for (const Elf64_Phdr& s : segments) {
      end = std::max(end, s.p_offset + s.p_filesz);
      packed += s.p_filesz > 0 ? s.p_filesz + 4095 : 0;  // contents and their alignment only
    }
    EXPECT_TRUE(bytes.size() == end && end <= packed)
        << bytes.size() << " " << end << " " << packed;
    const Ranges after = Mappings();
    for (const Elf64_Phdr& s : segments) {
      auto inside = [&s](const auto& m) {
        return s.p_vaddr >= m.first && s.p_vaddr + s.p_memsz <= m.second;
      };
      EXPECT_TRUE(s.p_type != PT_LOAD ||
                  ((s.p_filesz == 0 ||
                    (s.p_filesz == s.p_memsz && s.p_offset % 4096 == s.p_vaddr % 4096)) &&
                   (std::any_of(before.begin(), before.end(), inside) ||
                    std::any_of(after.begin(), after.end(), inside))))
          << std::hex << s.p_vaddr << "+" << s.p_memsz;
    }
  }
};

void MarkedXmm7(void*) { FaultWithMarkedXmm7(); }

// Faults some 200 KiB down the stack: less live stack lies above the saved bytes than the
// most the dump takes, so the mapping's end has to stop it.
void FaultDeep(int depth, platform::FaultPointers* pointers) {
  volatile char frame[4096];
  frame[0] = 0;
  if (depth > 0) FaultDeep(depth - 1, pointers);
  if (depth == 0) {
    EXPECT_FALSE(platform::RunGuarded(&MarkedXmm7, nullptr, pointers));
  }
  frame[1] = frame[0];
}

// The faulting thread's registers, signal and floating-point state, the process, the stack of
// the fault and the data, but neither code nor large buffers nor over 16 MiB of small ones.
TEST(CoreDumpTest, ARealFaultGivesWhatADebuggerNeedsAndNoMore) {
  constexpr size_t kBlock = 512 * 1024;  // 48 of them: alternate rights keep them apart
  std::vector<char*> blocks;
  for (int i = 0; i < 48; ++i)
    blocks.push_back(
        static_cast<char*>(mmap(nullptr, kBlock, i % 2 ? PROT_READ : PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)));
  platform::BudgetedBlock buffer(8 << 20);
  if (buffer) memset(buffer.data(), 0x5A, buffer.size());
  platform::ThreadFaultGuard guard;
  platform::FaultPointers pointers;
  FaultDeep(50, &pointers);
  platform::FaultContext& context = *pointers.context;
  uint64_t* g = context.general_registers;
  EXPECT_TRUE(context.stack_address == g[REG_RSP] && context.stack_size > 1024)
      << context.stack_size;
  EXPECT_EQ(context.fs_base, reinterpret_cast<uintptr_t>(pthread_self()));
  for (size_t i = 0; i < platform::FaultContext::kGeneralRegisters; ++i)
    g[i] = 0x0101'0101'0101'0101 * (i + 1);
  g[REG_CSGSFS] = 0x0053'0043'003B'0023;  // ss, fs, gs, cs
  g_data_marker = kDataMarker;
  testing::TempDir dir;
  const Core core(dir, &pointers, "writing minidump\r\n");
  core.ExpectWellFormed();

  std::vector<uint32_t> types;
  for (const auto& note : core.notes) types.push_back(note.first);
  ASSERT_EQ(types, (std::vector<uint32_t>{NT_PRSTATUS, NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE,
                                          NT_PRFPREG}));
  const auto status = core.Note<elf_prstatus>(NT_PRSTATUS);
  EXPECT_EQ(std::vector<int>({status.pr_pid, status.pr_cursig, status.pr_info.si_signo,
                              status.pr_info.si_code, status.pr_fpvalid}),
            std::vector<int>({gettid(), SIGILL, SIGILL, pointers.record->signal_code, 1}));
  uint64_t r[27];  // user_regs_struct
  memcpy(r, status.pr_reg, sizeof r);
  EXPECT_EQ(std::vector(r, r + 27),
            std::vector<uint64_t>(
                {g[REG_R15], g[REG_R14], g[REG_R13], g[REG_R12],      g[REG_RBP],      g[REG_RBX],
                 g[REG_R11], g[REG_R10], g[REG_R9],  g[REG_R8],       g[REG_RAX],      g[REG_RCX],
                 g[REG_RDX], g[REG_RSI], g[REG_RDI], UINT64_MAX,      g[REG_RIP],      0x23,
                 g[REG_EFL], g[REG_RSP], 0x53,       context.fs_base, context.gs_base, 0,
                 0,          0x43,       0x3B}));
  const auto fp = core.Note<user_fpregs_struct>(NT_PRFPREG);
  EXPECT_EQ(fp.xmm_space[28] | uint64_t{fp.xmm_space[29]} << 32, testing::kXmm7Marker);
  EXPECT_EQ(core.Note<siginfo_t>(NT_SIGINFO).si_signo, SIGILL);
  EXPECT_EQ(core.notes[3].second, testing::ReadFile("/proc/self/auxv"));
  EXPECT_NE(core.notes[4].second.find(platform::ProgramPath() + '\0'), std::string::npos);
  const auto process = core.Note<elf_prpsinfo>(NT_PRPSINFO);
  std::string arguments = testing::ReadFile("/proc/self/cmdline");
  std::replace(arguments.begin(), arguments.end() - 1, '\0', ' ');
  EXPECT_EQ(std::to_string(process.pr_pid) + process.pr_fname + "|" +
                std::string(process.pr_psargs, strnlen(process.pr_psargs, 80)),
            std::to_string(getpid()) + std::string(program_invocation_short_name).substr(0, 15) +
                "|" + arguments.substr(0, std::min<size_t>(79, arguments.size() - 1)));

  // The stack as saved at the fault, at its address, then the live stack above it.
  EXPECT_EQ(core.SegmentAt(context.stack_address)->p_vaddr, context.stack_address);
  EXPECT_TRUE(core.MemoryAt(context.stack_address, context.stack_size) ==
              std::string(reinterpret_cast<const char*>(context.stack), context.stack_size));
  EXPECT_EQ(core.MemoryAt(context.stack_address + context.stack_size, 4096).size(), 4096u);
  EXPECT_EQ(core.MemoryAt(reinterpret_cast<uintptr_t>(&g_data_marker), 8),
            std::string(reinterpret_cast<const char*>(&kDataMarker), 8));
  const Elf64_Phdr* code = core.SegmentAt(reinterpret_cast<uintptr_t>(&FaultWithMarkedXmm7));
  EXPECT_TRUE(code != nullptr && (code->p_flags & PF_X) && code->p_filesz == 0);
  uint64_t small = 0;
  for (char* block : blocks) small += core.SegmentAt(reinterpret_cast<uintptr_t>(block))->p_filesz;
  for (char* block : blocks) munmap(block, kBlock);
  EXPECT_TRUE(small > 0 && small <= uint64_t{16} << 20) << small;
  if (buffer) {
    EXPECT_EQ(core.SegmentAt(reinterpret_cast<uintptr_t>(buffer.data()))->p_filesz, 0u);
  }
}

// Without a fault the dump shows the calling thread here, as a breakpoint would, with the user
// segments the context does not give.
TEST(CoreDumpTest, WithoutAFaultItShowsTheCallingThreadAsABreakpointWould) {
  testing::TempDir dir;
  const Core core(dir, nullptr, "raising exception\r\nwriting minidump\r\n");
  core.ExpectWellFormed();
  const auto status = core.Note<elf_prstatus>(NT_PRSTATUS);
  user_regs_struct r;
  memcpy(&r, status.pr_reg, sizeof r);
  const uint64_t here = reinterpret_cast<uintptr_t>(&r);
  EXPECT_EQ(
      std::vector<uint64_t>({uint64_t(status.pr_cursig), uint64_t(status.pr_pid), r.cs, r.ss}),
      std::vector<uint64_t>({SIGTRAP, uint64_t(gettid()), 0x33, 0x2B}));
  EXPECT_TRUE(r.rsp < here && r.rsp + 64 * 1024 > here) << r.rsp;
  EXPECT_EQ(core.MemoryAt(r.rsp, 16).size(), 16u);
}

}  // namespace
}  // namespace forgeval
