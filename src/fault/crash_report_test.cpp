// ERRORLOG.TXT with the machine description and module list (system_info.h), and CRASH.DMP
// read back with the system's own ELF definitions. gdb opening a dump at the faulting function,
// with its callers, is checked end to end.
#include "fault/crash_report.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/procfs.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>

#include "fault/system_info.h"
#include "faults.h"
#include "platform/memory_budget.h"
#include "platform/process.h"
#include "platform/process_image.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

namespace fs = std::filesystem;
using platform::FaultPointers;
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

const std::string kLongName = "lib" + std::string(300, 'x') + ".so.1";
const std::string kNullRead = "Read from location 00000000 caused an access violation.\r\n";

// A Windows module's own facts, which win over the ELF stand-ins.
const platform::ModuleImageFacts kWindowsModule{
    0x213d4e,     0x63f14e2b,        "Microsoft Corporation",
    "Wine",       "Wine kernel DLL", {10, 0, 18362, 1350},
    {10, 0, 1, 2}};

// Fixed facts in place of the system's; an emptied one makes its query fail. The objects come
// out of address order, one without an image, one (the vDSO) without a file to ask about.
struct FixedQueries : platform::SystemQueries {
  std::optional<std::string> program, user = "operator", kernel = "6.1.0-18-amd64",
                                      os = "Debian GNU/Linux 12 (bookworm)";
  std::optional<platform::LocalDateTime> local_time;
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
    std::vector<platform::LoadedObject> objects{
        {"/lib/libstdc++.so.6", 0x7f1234560000, 0x21a000, {0x28, 0x9e, 0xe3, 0x9f, 1, 2}, ""},
        {"/nothing", 0x500000, 0, {}, ""},
        {"linux-vdso.so.1", 0x7ffd10000000, 0x2000, {0x11, 0x22}, "linux-vdso.so.1", false},
        {"/opt/forgeval/forgeval", 0x400000, 0x4c000, {0xab, 0xcd, 0xef, 0x01}, kLongName},
        {"C:\\Windows\\k.dll", 0x7ffe00000000, 0x195000, {1, 2, 3, 4}, "k.so.9"}};
    objects.back().image = kWindowsModule;
    return objects;
  }
};

// Written at run time before the dump, so only a copy of live memory can hold this value.
volatile uint64_t g_data_marker = 1;
constexpr uint64_t kDataMarker = 0x0DA7A5E6'3E47C0DEull;

// A dump read back. Every dump is an x86-64 core exactly as long as its furthest segment, with
// file space for contents only, at offsets congruent to their addresses, and each memory
// segment lies inside one mapping of the process as it was just before or just after the dump.
struct Core {
  std::string bytes;
  Elf64_Ehdr header{};
  std::vector<Elf64_Phdr> segments;
  std::vector<std::pair<uint32_t, std::string>> notes;  // type, descriptor

  Core(const std::string& path, const std::vector<platform::MemoryMapping>& before)
      : bytes(ReadFile(path)) {
    const std::vector<platform::MemoryMapping> after = platform::ReadMemoryMap();
    memcpy(&header, bytes.data(), std::min(sizeof header, bytes.size()));
    EXPECT_TRUE(memcmp(header.e_ident, "\177ELF\2\1\1", 7) == 0 && header.e_type == ET_CORE &&
                header.e_machine == EM_X86_64);
    segments.resize(header.e_phnum);
    memcpy(segments.data(), bytes.data() + header.e_phoff, header.e_phnum * sizeof(Elf64_Phdr));
    uint64_t end = 0, packed = header.e_phoff + segments.size() * sizeof(Elf64_Phdr);
    for (const Elf64_Phdr& s : segments) {
      end = std::max(end, s.p_offset + s.p_filesz);
      packed += s.p_filesz > 0 ? s.p_filesz + 4095 : 0;  // contents and their alignment
      auto inside = [&s](const auto& m) {
        return s.p_vaddr >= m.start && s.p_vaddr + s.p_memsz <= m.end;
      };
      EXPECT_TRUE(s.p_type != PT_LOAD ||
                  ((s.p_filesz == 0 ||
                    (s.p_filesz == s.p_memsz && s.p_offset % 4096 == s.p_vaddr % 4096)) &&
                   (std::any_of(before.begin(), before.end(), inside) ||
                    std::any_of(after.begin(), after.end(), inside))))
          << std::hex << s.p_vaddr << "+" << s.p_memsz;
    }
    EXPECT_TRUE(bytes.size() == end && end <= packed) << bytes.size() << " " << packed;
    for (size_t at = segments.at(0).p_offset; at < segments[0].p_offset + segments[0].p_filesz;) {
      Elf64_Nhdr note;
      memcpy(&note, bytes.data() + at, sizeof note);
      const size_t descriptor = at + sizeof note + ((note.n_namesz + 3) & ~3u);
      notes.emplace_back(note.n_type, bytes.substr(descriptor, note.n_descsz));
      at = descriptor + ((note.n_descsz + 3) & ~3u);
    }
  }
  template <typename T>
  T Note(size_t index) const {
    T value{};
    if (notes.at(index).second.size() == sizeof value)
      memcpy(&value, notes[index].second.data(), sizeof value);
    return value;
  }
  // The segment at `address` and the bytes saved there ("" when it has no contents).
  std::pair<const Elf64_Phdr*, std::string> At(const void* address, size_t size) const {
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (const Elf64_Phdr& s : segments) {
      if (s.p_type == PT_LOAD && at >= s.p_vaddr && at < s.p_vaddr + s.p_memsz)
        return {&s, at + size > s.p_vaddr + s.p_filesz
                        ? ""
                        : bytes.substr(s.p_offset + at - s.p_vaddr, size)};
    }
    return {};
  }
};

void NullRead(void*) { FaultNullRead(); }
void WriteReadOnly(void* page) { FaultWrite(page); }
void DivideByZero(void*) { FaultDivideByZero(); }
void MarkedXmm7(void*) { FaultWithMarkedXmm7(); }

// Faults some 200 KiB down the stack: less live stack lies above the saved bytes than the
// most the dump takes, so the mapping's end has to stop it.
void FaultDeep(int depth, FaultPointers* pointers) {
  volatile char frame[4096];
  frame[0] = 0;
  if (depth > 0) FaultDeep(depth - 1, pointers);
  if (depth == 0 && platform::RunGuarded(&MarkedXmm7, nullptr, pointers)) ADD_FAILURE();
  frame[1] = frame[0];
}

class CrashReporterTest : public ::testing::Test {
 protected:
  CrashReporterTest() { queries_.program = dir_.File("forgeval"); }
  std::string Report() const { return ReadFile(dir_.File("ERRORLOG.TXT")); }
  long Files() const { return std::ranges::distance(fs::directory_iterator(dir_.path())); }
  FaultPointers Fault(void (*fault)(void*), void* argument = nullptr) {
    FaultPointers pointers;
    EXPECT_FALSE(platform::RunGuarded(fault, argument, &pointers));
    return pointers;
  }
  Core Dump(const FaultPointers& pointers, const char* diagnostics) {
    const std::vector<platform::MemoryMapping> before = platform::ReadMemoryMap();
    ::testing::internal::CaptureStderr();
    CrashReporter(queries_).Write(pointers);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), diagnostics);
    return Core(dir_.File("CRASH.DMP"), before);
  }

  testing::TempDir dir_;
  FixedQueries queries_;
  platform::ThreadFaultGuard guard_;
};

// The whole report of each kind of fault, dated in the two-second form (years 1980 to 2107
// only), with a dump beside it that replaces a planted link and only the owner may read. Of
// simultaneous calls exactly one writes (ThreadSanitizer watches the buffer).
TEST_F(CrashReporterTest, TheFirstCallWritesTheWholeReportAndADump) {
  const std::string fields = "Version Information:\r\n   Company:    \r\n   Product:    \r\n";
  const auto expected = [&](const std::string& violation, const std::string& date) {
    return "\r\nException handler called in SeException.\r\n" + violation + "Error occurred at " +
           date + ".\r\n" + dir_.File("forgeval") + ", run by operator.\r\n" +
           "Operating system:  Debian GNU/Linux 12 (bookworm) (6.1.0-18-amd64).\r\n"
           "2 processor(s), type 8664.\r\n37% memory in use.\r\n"
           "16384 MBytes physical memory.\r\n10241 MBytes physical memory free.\r\n"
           "2048 MBytes paging file.\r\n1 MBytes paging file free.\r\n"
           "134217728 MBytes user address space.\r\n134217428 MBytes user address space free.\r\n"
           "Module 1\r\n/opt/forgeval/forgeval\r\n"
           "Image Base: 0x00400000  Image Size: 0x0004c000\r\n"
           "Checksum:   0xabcdef01  Time Stamp: 0x00000000\r\n"
           "File Size:  0           File Time:  \r\n" +
           fields + "   FileDesc:   " + kLongName.substr(0, 197) +
           "\r\n   FileVer:    0.0.0.0\r\n   ProdVer:    0.0.0.0\r\n\r\n"
           "Module 2\r\n/lib/libstdc++.so.6\r\n"
           "Image Base: 0x7f1234560000  Image Size: 0x0021a000\r\n"
           "Checksum:   0x289ee39f  Time Stamp: 0x67f3b659\r\n"
           "File Size:  2190440     File Time:  " +
           date + "\r\n" + fields +
           "   FileDesc:   \r\n   FileVer:    6.0.30.0\r\n   ProdVer:    6.0.30.0\r\n\r\n"
           "Module 3\r\nlinux-vdso.so.1\r\n"
           "Image Base: 0x7ffd10000000  Image Size: 0x00002000\r\n"
           "Checksum:   0x00000000  Time Stamp: 0x00000000\r\n"
           "File Size:  0           File Time:  \r\n" +
           fields + "   FileDesc:   linux-vdso.so.1\r\n   FileVer:    1.0.0.0\r\n" +
           "   ProdVer:    1.0.0.0\r\n\r\n"
           "Module 4\r\nC:\\Windows\\k.dll\r\n"
           "Image Base: 0x7ffe00000000  Image Size: 0x00195000\r\n"
           "Checksum:   0x00213d4e  Time Stamp: 0x63f14e2b\r\n"
           "File Size:  0           File Time:  \r\nVersion Information:\r\n"
           "   Company:    Microsoft Corporation\r\n   Product:    Wine\r\n"
           "   FileDesc:   Wine kernel DLL\r\n   FileVer:    10.0.18362.1350\r\n"
           "   ProdVer:    10.0.1.2\r\n\r\nMemory dump written to " +
           dir_.File("CRASH.DMP") +
           ".\r\n\r\n======================= [end of ERRORLOG.TXT] =======================\r\n";
  };
  void* page = testing::ReadOnlyPage();
  ASSERT_GT(reinterpret_cast<uintptr_t>(page), uintptr_t{1} << 32);
  char write_line[80];
  snprintf(write_line, sizeof write_line, "Write to location %08x caused an access violation.\r\n",
           testing::Low32(page));
  testing::WriteFile(dir_.File("victim"), "not ours");
  fs::create_symlink(dir_.File("victim"), dir_.File("CRASH.DMP"));
  const std::tuple<void (*)(void*), std::string, platform::LocalDateTime, std::string> cases[] = {
      {&WriteReadOnly, write_line, {2107, 12, 31, 23, 59, 59}, "12/31/2107 23:59:58"},
      {&NullRead, kNullRead, {1980, 1, 1, 0, 0, 1}, "1/1/1980 00:00:00"},
      {&DivideByZero, "", {2108, 1, 1, 0, 0, 0}, ""}};
  for (const auto& [fault, violation, time, date] : cases) {
    fs::remove(dir_.File("ERRORLOG.TXT"));
    queries_.local_time = time;
    CrashReporter reporter(queries_);
    const platform::FaultPointers pointers = Fault(fault, page);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        EXPECT_EQ(reporter.Write(pointers), 0);
      });
    go = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "writing minidump\r\n");
    EXPECT_EQ(Report(), expected(violation, date));
    struct stat dump {};
    ASSERT_EQ(stat(dir_.File("CRASH.DMP").c_str(), &dump), 0);
    EXPECT_TRUE(ReadFile(dir_.File("CRASH.DMP")).starts_with("\177ELF") &&
                (dump.st_mode & 0777) == 0600);
    EXPECT_EQ(ReadFile(dir_.File("victim")) + std::to_string(Files()),
              "not ours3");  // no temporary left
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
  queries_.local_time = platform::LocalDateTime{1979, 12, 31, 23, 59, 58};
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.path());
  CrashReporter(queries_).Write(Fault(&NullRead));
  fs::current_path(previous);
  EXPECT_TRUE(Report().starts_with("\r\nException handler called in SeException.\r\n" + kNullRead +
                                   "Error occurred at .\r\nUnknown, run by Unknown.\r\n"
                                   "Operating system:  Linux ().\r\n"))
      << Report();
  EXPECT_TRUE(Report().ends_with("[end of ERRORLOG.TXT] =======================\r\n"));
  EXPECT_TRUE(fs::is_directory(dir_.File("CRASH.DMP")) && Files() == 3);
}

// A folder with room for the report but not for the dump keeps the earlier dump, leaves no
// temporary file, and the report and the console say so; a folder with room for neither says
// both on the console.
TEST_F(CrashReporterTest, AFullFolderKeepsTheEarlierDumpAndSaysSo) {
  const std::string folder = dir_.File("full");
  fs::create_directory(folder);
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "no tmpfs mount here: " << strerror(errno);
  struct Unmount {  // also when an assertion ends the test early
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{folder};
  queries_.program = folder + "/forgeval";
  const std::string dump = folder + "/CRASH.DMP", report = folder + "/ERRORLOG.TXT";
  testing::WriteFile(dump, "the earlier dump");
  const std::string full = " could not be written (No space left on device)";
  const std::string dump_warning =
      "Warning: the crash dump " + dump + full + "; an earlier dump there is kept\n";
  for (const bool room_for_report : {true, false}) {
    if (!room_for_report && fs::remove(report))  // every page but the earlier dump's
      testing::WriteFile(folder + "/filler", std::string(255 * 4096, 'x'));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    CrashReporter(queries_).Write(Fault(&NullRead));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              (room_for_report ? "" : "Warning: the crash report " + report + full + "\n") +
                  dump_warning);
    EXPECT_EQ(ReadFile(dump), "the earlier dump");
    EXPECT_EQ(std::ranges::distance(fs::directory_iterator(folder)), room_for_report ? 2 : 3);
    EXPECT_EQ(ReadFile(report).ends_with(
                  "Memory dump " + dump +
                  " not written (No space left on device); an earlier dump there is kept.\r\n\r\n"
                  "======================= [end of ERRORLOG.TXT] =======================\r\n"),
              room_for_report);
  }
}

// The faulting thread's registers, signal and floating-point state, the process, the stack of
// the fault and the data, but neither code nor large buffers nor over 16 MiB of small ones.
// Without a fault, the calling thread as a breakpoint here would show it.
TEST_F(CrashReporterTest, TheDumpHoldsWhatADebuggerNeedsAndNoMore) {
  constexpr size_t kBlock = 512 * 1024;  // 48 of them: alternate rights keep them apart
  std::vector<char*> blocks;
  for (int i = 0; i < 48; ++i)
    blocks.push_back(
        static_cast<char*>(mmap(nullptr, kBlock, i % 2 ? PROT_READ : PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)));
  platform::BudgetedBlock buffer(8 << 20);
  if (buffer) memset(buffer.data(), 0x5A, buffer.size());
  FaultPointers pointers;
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
  const Core core = Dump(pointers, "writing minidump\r\n");

  std::vector<uint32_t> types;
  for (const auto& note : core.notes) types.push_back(note.first);
  ASSERT_EQ(types, (std::vector<uint32_t>{NT_PRSTATUS, NT_PRPSINFO, NT_SIGINFO, NT_AUXV, NT_FILE,
                                          NT_PRFPREG}));
  const auto status = core.Note<elf_prstatus>(0);
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
  const auto fp = core.Note<user_fpregs_struct>(5);
  EXPECT_EQ(fp.xmm_space[28] | uint64_t{fp.xmm_space[29]} << 32, testing::kXmm7Marker);
  EXPECT_EQ(core.Note<siginfo_t>(2).si_signo, SIGILL);
  EXPECT_EQ(core.notes[3].second, ReadFile("/proc/self/auxv"));
  EXPECT_NE(core.notes[4].second.find(platform::ProgramPath() + '\0'), std::string::npos);
  const auto process = core.Note<elf_prpsinfo>(1);
  std::string arguments = ReadFile("/proc/self/cmdline");
  std::replace(arguments.begin(), arguments.end() - 1, '\0', ' ');
  EXPECT_EQ(std::to_string(process.pr_pid) + process.pr_fname + "|" +
                std::string(process.pr_psargs, strnlen(process.pr_psargs, 80)),
            std::to_string(getpid()) + std::string(program_invocation_short_name).substr(0, 15) +
                "|" + arguments.substr(0, std::min<size_t>(79, arguments.size() - 1)));

  // The stack as saved at the fault, at its address, then the live stack above it.
  const auto* stack = reinterpret_cast<const char*>(context.stack_address);
  EXPECT_TRUE(core.At(stack, 1).first->p_vaddr == context.stack_address &&
              core.At(stack + context.stack_size, 4096).second.size() == 4096);
  EXPECT_TRUE(core.At(stack, context.stack_size).second ==
              std::string(reinterpret_cast<const char*>(context.stack), context.stack_size));
  EXPECT_EQ(core.At(const_cast<const uint64_t*>(&g_data_marker), 8).second,
            std::string(reinterpret_cast<const char*>(&kDataMarker), 8));
  const Elf64_Phdr* code = core.At(reinterpret_cast<void*>(&FaultWithMarkedXmm7), 1).first;
  EXPECT_TRUE(code != nullptr && (code->p_flags & PF_X) && code->p_filesz == 0);
  size_t small = 0;
  for (char* block : blocks) small += core.At(block, kBlock).second.size();
  for (char* block : blocks) munmap(block, kBlock);
  EXPECT_TRUE(small > 0 && small <= 16 << 20) << small;
  EXPECT_TRUE(!buffer || core.At(buffer.data(), 1).second.empty());

  const Core here = Dump({}, "raising exception\r\nwriting minidump\r\n");
  EXPECT_NE(Report().find("=\r\n\r\nError occurred at "), std::string::npos);  // no fault lines
  const auto trap = here.Note<elf_prstatus>(0);
  memcpy(r, trap.pr_reg, sizeof r);  // rsp at 19
  EXPECT_TRUE(trap.pr_cursig == SIGTRAP && trap.pr_pid == gettid() && r[19] < uintptr_t(&here) &&
              r[19] + 65536 > uintptr_t(&here));
  EXPECT_EQ(here.At(reinterpret_cast<void*>(r[19]), 16).second.size(), 16u);
}

}  // namespace
}  // namespace forgeval
