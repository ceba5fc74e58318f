// Layout of the file: the ELF header, the program headers (PT_NOTE first, then one PT_LOAD
// per mapping), the note segment, then the contents of the PT_LOAD segments that have any,
// each starting at a file offset congruent to its address modulo the page size, as the
// loader's rules for p_align ask. The record layouts are those of the x86-64 Linux core
// format (elf_prstatus, elf_prpsinfo, user_regs_struct), spelt out here with their sizes
// checked.
#include "fault/core_dump.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/loaded_objects.h"
#include "platform/process_image.h"
#include "report/console.h"

namespace forgeval {
namespace {

using platform::FaultContext;
using platform::FaultRecord;
using platform::LoadedObject;
using platform::MemoryMapping;

constexpr const char* kWritingText = "writing minidump\r\n";
constexpr const char* kRaisingText = "raising exception\r\n";

// Anonymous mappings up to this size are saved; larger ones are test buffers or stacks. Of
// small ones no more than the budget in all (in address order, the heap first), so that many
// small buffers cannot swell the dump.
constexpr uint64_t kSmallMappingBytes = 1024 * 1024;
constexpr uint64_t kSmallMappingsBudgetBytes = 16 * 1024 * 1024;
// Live stack saved above the bytes copied at the fault (the callers' frames).
constexpr uint64_t kLiveStackBytes = 1024 * 1024;
constexpr size_t kCopyChunkBytes = 256 * 1024;
// Program headers are counted in 16 bits; one is the note segment.
constexpr size_t kMaxLoadSegments = 0xFFFE;

// ELF constants.
constexpr uint16_t kEtCore = 4;
constexpr uint16_t kEmX8664 = 62;
constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kPtNote = 4;
constexpr uint32_t kPfX = 1;
constexpr uint32_t kPfW = 2;
constexpr uint32_t kPfR = 4;
constexpr uint32_t kNtPrStatus = 1;
constexpr uint32_t kNtPrFpReg = 2;
constexpr uint32_t kNtPrPsInfo = 3;
constexpr uint32_t kNtAuxv = 6;
constexpr uint32_t kNtSigInfo = 0x53494749;
constexpr uint32_t kNtFile = 0x46494c45;

struct ElfHeader {
  uint8_t ident[16];
  uint16_t type;
  uint16_t machine;
  uint32_t version;
  uint64_t entry;
  uint64_t program_headers;
  uint64_t section_headers;
  uint32_t flags;
  uint16_t header_size;
  uint16_t program_header_size;
  uint16_t program_header_count;
  uint16_t section_header_size;
  uint16_t section_header_count;
  uint16_t section_names_index;
};
static_assert(sizeof(ElfHeader) == 64);

struct ProgramHeader {
  uint32_t type;
  uint32_t flags;
  uint64_t offset;
  uint64_t address;
  uint64_t physical_address;
  uint64_t file_size;
  uint64_t memory_size;
  uint64_t align;
};
static_assert(sizeof(ProgramHeader) == 56);

struct NoteHeader {
  uint32_t name_size;
  uint32_t descriptor_size;
  uint32_t type;
};

// elf_prstatus of x86-64 Linux.
struct PrStatus {
  int32_t signal_number;
  int32_t signal_code;
  int32_t signal_errno;
  int16_t current_signal;
  uint16_t padding0;
  uint64_t pending_signals;
  uint64_t held_signals;
  int32_t pid;
  int32_t parent_pid;
  int32_t process_group;
  int32_t session;
  uint64_t times[8];  // user, system, children's user and system time (timeval each)
  uint64_t registers[27];
  int32_t fp_valid;
  int32_t padding1;
};
static_assert(sizeof(PrStatus) == 336 && offsetof(PrStatus, registers) == 112);

// elf_prpsinfo of x86-64 Linux.
struct PrPsInfo {
  char state;
  char state_name;
  char zombie;
  char nice;
  uint32_t padding;
  uint64_t flags;
  uint32_t user_id;
  uint32_t group_id;
  int32_t pid;
  int32_t parent_pid;
  int32_t process_group;
  int32_t session;
  char file_name[16];
  char arguments[80];
};
static_assert(sizeof(PrPsInfo) == 136 && offsetof(PrPsInfo, file_name) == 40);

enum class Contents { kNone, kLiveMemory, kSavedStack };

struct Segment {
  uint64_t address = 0;
  uint64_t size = 0;
  uint32_t flags = 0;
  Contents contents = Contents::kNone;
  uint64_t file_offset = 0;
};

uint32_t FlagsOf(const MemoryMapping& mapping) {
  return (mapping.readable ? kPfR : 0) | (mapping.writable ? kPfW : 0) |
         (mapping.executable ? kPfX : 0);
}

bool IsAnonymous(const MemoryMapping& mapping) {
  return mapping.name.empty() || mapping.name == "[heap]" || mapping.name == "[stack]" ||
         mapping.name.rfind("[anon:", 0) == 0;
}

// Mappings that cannot be read through /proc/self/mem and are of no use to a debugger.
bool IsKernelPage(const MemoryMapping& mapping) {
  return mapping.name == "[vvar]" || mapping.name == "[vvar_vclock]" ||
         mapping.name == "[vsyscall]";
}

bool InsideAnObject(const MemoryMapping& mapping, const std::vector<LoadedObject>& objects) {
  for (const LoadedObject& object : objects) {
    if (mapping.start >= object.base && mapping.end <= object.base + object.span) return true;
  }
  return false;
}

Contents ContentsOf(const MemoryMapping& mapping, const std::vector<LoadedObject>& objects,
                    uint64_t* anonymous_budget) {
  if (!mapping.readable || mapping.shared) return Contents::kNone;
  if (InsideAnObject(mapping, objects)) {
    // Code is left to the object files, except where no file holds it (the vDSO).
    return !mapping.executable || !mapping.file_backed() ? Contents::kLiveMemory : Contents::kNone;
  }
  const uint64_t size = mapping.end - mapping.start;
  if (IsAnonymous(mapping) && size <= kSmallMappingBytes && size <= *anonymous_budget) {
    *anonymous_budget -= size;
    return Contents::kLiveMemory;
  }
  return Contents::kNone;
}

// The faulting thread's stack mapping: nothing below the stack pointer, the bytes saved at
// the fault, then the live stack above them.
void AddStackSegments(const MemoryMapping& mapping, const FaultContext& context,
                      std::vector<Segment>* segments) {
  const uint32_t flags = FlagsOf(mapping);
  const uint64_t saved_start = context.stack_address;
  const uint64_t saved_end = std::min<uint64_t>(saved_start + context.stack_size, mapping.end);
  if (saved_start > mapping.start)
    segments->push_back({mapping.start, saved_start - mapping.start, flags, Contents::kNone});
  segments->push_back({saved_start, saved_end - saved_start, flags, Contents::kSavedStack});
  if (saved_end < mapping.end) {
    const uint64_t live = std::min(mapping.end - saved_end, kLiveStackBytes);
    segments->push_back({saved_end, live, flags, Contents::kLiveMemory});
    if (saved_end + live < mapping.end)
      segments->push_back(
          {saved_end + live, mapping.end - saved_end - live, flags, Contents::kNone});
  }
}

std::vector<Segment> PlanSegments(const std::vector<MemoryMapping>& mappings,
                                  const std::vector<LoadedObject>& objects,
                                  const FaultContext& context) {
  std::vector<Segment> segments;
  uint64_t anonymous_budget = kSmallMappingsBudgetBytes;
  for (const MemoryMapping& mapping : mappings) {
    if (IsKernelPage(mapping)) continue;
    const bool holds_saved_stack = context.stack_size > 0 &&
                                   context.stack_address >= mapping.start &&
                                   context.stack_address < mapping.end;
    if (holds_saved_stack) {
      AddStackSegments(mapping, context, &segments);
    } else {
      segments.push_back({mapping.start, mapping.end - mapping.start, FlagsOf(mapping),
                          ContentsOf(mapping, objects, &anonymous_budget)});
    }
  }
  if (segments.size() > kMaxLoadSegments) segments.resize(kMaxLoadSegments);
  return segments;
}

void AppendBytes(std::vector<uint8_t>* out, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
  out->resize((out->size() + 3) & ~size_t{3});
}

void AddNote(std::vector<uint8_t>* notes, uint32_t type, const void* descriptor, size_t size) {
  static constexpr char kName[] = "CORE";
  const NoteHeader header{sizeof kName, static_cast<uint32_t>(size), type};
  AppendBytes(notes, &header, sizeof header);
  AppendBytes(notes, kName, sizeof kName);
  AppendBytes(notes, descriptor, size);
}

// user_regs_struct order from the saved mcontext registers.
void UserRegisters(const FaultContext& context, uint64_t* out) {
  using namespace platform::saved_register;
  const uint64_t* g = context.general_registers;
  const uint64_t selectors = g[kCsGsFs];
  uint64_t cs = selectors & 0xFFFF;
  uint64_t ss = (selectors >> 48) & 0xFFFF;
  const uint64_t user_regs[27] = {
      g[kR15],
      g[kR14],
      g[kR13],
      g[kR12],
      g[kRbp],
      g[kRbx],
      g[kR11],
      g[kR10],
      g[kR9],
      g[kR8],
      g[kRax],
      g[kRcx],
      g[kRdx],
      g[kRsi],
      g[kRdi],
      UINT64_MAX,  // orig_rax: not inside a system call
      g[kRip],
      cs != 0 ? cs : 0x33,  // the user code segment when the context did not say
      g[kEflags],
      g[kRsp],
      ss != 0 ? ss : 0x2B,  // the user stack segment when the context did not say
      context.fs_base,
      context.gs_base,
      0,
      0,  // ds, es
      (selectors >> 32) & 0xFFFF,
      (selectors >> 16) & 0xFFFF,  // fs, gs
  };
  memcpy(out, user_regs, sizeof user_regs);
}

void CopyText(char* target, size_t capacity, const std::string& text) {
  memcpy(target, text.data(), std::min(capacity - 1, text.size()));
}

std::vector<uint8_t> BuildNotes(const FaultRecord& record, const FaultContext& context,
                                const std::vector<MemoryMapping>& mappings, uint64_t page_size) {
  const platform::ProcessIdentity identity = platform::ReadProcessIdentity();
  std::vector<uint8_t> notes;

  PrStatus status{};
  status.signal_number = record.signal;
  status.signal_code = record.signal_code;
  status.signal_errno = record.error_number;
  status.current_signal = static_cast<int16_t>(record.signal);
  status.pid = context.thread_id;
  status.parent_pid = identity.parent_pid;
  status.process_group = identity.process_group;
  status.session = identity.session;
  UserRegisters(context, status.registers);
  status.fp_valid = context.has_fp_state ? 1 : 0;
  AddNote(&notes, kNtPrStatus, &status, sizeof status);

  PrPsInfo process{};
  process.state_name = 'R';
  process.user_id = identity.user_id;
  process.group_id = identity.group_id;
  process.pid = identity.pid;
  process.parent_pid = identity.parent_pid;
  process.process_group = identity.process_group;
  process.session = identity.session;
  CopyText(process.file_name, sizeof process.file_name, identity.command);
  CopyText(process.arguments, sizeof process.arguments, identity.arguments);
  AddNote(&notes, kNtPrPsInfo, &process, sizeof process);

  AddNote(&notes, kNtSigInfo, context.signal_info, sizeof context.signal_info);

  const std::string auxv = platform::ReadAuxVector();
  AddNote(&notes, kNtAuxv, auxv.data(), auxv.size());

  // NT_FILE: count, page size, (start, end, offset in pages) per file mapping, then the names.
  std::vector<uint64_t> ranges{0, page_size};
  std::string names;
  for (const MemoryMapping& mapping : mappings) {
    if (!mapping.file_backed()) continue;
    ranges.insert(ranges.end(), {mapping.start, mapping.end, mapping.file_offset / page_size});
    names.append(mapping.name).push_back('\0');
  }
  ranges[0] = (ranges.size() - 2) / 3;
  std::vector<uint8_t> file_note(ranges.size() * sizeof(uint64_t) + names.size());
  memcpy(file_note.data(), ranges.data(), ranges.size() * sizeof(uint64_t));
  memcpy(file_note.data() + ranges.size() * sizeof(uint64_t), names.data(), names.size());
  AddNote(&notes, kNtFile, file_note.data(), file_note.size());

  if (context.has_fp_state) AddNote(&notes, kNtPrFpReg, context.fp_state, sizeof context.fp_state);
  return notes;
}

CoreDumpSummary WriteCore(int fd, const FaultRecord& record, const FaultContext& context) {
  CoreDumpSummary summary;
  const uint64_t page_size = platform::PageSize();
  const std::vector<MemoryMapping> mappings = platform::ReadMemoryMap();
  std::vector<Segment> segments = PlanSegments(mappings, platform::ListLoadedObjects(), context);
  const std::vector<uint8_t> notes = BuildNotes(record, context, mappings, page_size);

  const size_t header_count = segments.size() + 1;
  const uint64_t notes_offset = sizeof(ElfHeader) + header_count * sizeof(ProgramHeader);
  uint64_t end = notes_offset + notes.size();
  for (Segment& segment : segments) {
    if (segment.contents == Contents::kNone) continue;
    const uint64_t in_page = segment.address % page_size;
    segment.file_offset = (end - in_page + page_size - 1) / page_size * page_size + in_page;
    end = segment.file_offset + segment.size;
    summary.contents_bytes += segment.size;
  }

  std::vector<uint8_t> head(notes_offset);
  ElfHeader header{};
  memcpy(header.ident,
         "\x7F"
         "ELF",
         4);
  header.ident[4] = 2;  // 64-bit
  header.ident[5] = 1;  // little-endian
  header.ident[6] = 1;  // version 1
  header.type = kEtCore;
  header.machine = kEmX8664;
  header.version = 1;
  header.program_headers = sizeof(ElfHeader);
  header.header_size = sizeof(ElfHeader);
  header.program_header_size = sizeof(ProgramHeader);
  header.program_header_count = static_cast<uint16_t>(header_count);
  memcpy(head.data(), &header, sizeof header);
  std::vector<ProgramHeader> programs;
  programs.push_back({kPtNote, 0, notes_offset, 0, 0, notes.size(), 0, 4});
  for (const Segment& segment : segments) {
    const uint64_t file_size = segment.contents == Contents::kNone ? 0 : segment.size;
    programs.push_back({kPtLoad, segment.flags, segment.file_offset, segment.address, 0, file_size,
                        segment.size, page_size});
  }
  memcpy(head.data() + sizeof header, programs.data(), programs.size() * sizeof(ProgramHeader));
  bool ok = platform::WriteAllAt(fd, 0, head.data(), head.size()) &&
            platform::WriteAllAt(fd, notes_offset, notes.data(), notes.size());

  const platform::SelfMemory memory;
  std::vector<uint8_t> chunk(kCopyChunkBytes);
  for (const Segment& segment : segments) {
    if (!ok) break;
    if (segment.contents == Contents::kSavedStack) {
      ok = platform::WriteAllAt(fd, segment.file_offset, context.stack, segment.size);
      continue;
    }
    if (segment.contents != Contents::kLiveMemory) continue;
    uint64_t done = 0;
    while (ok && done < segment.size) {
      const size_t size =
          static_cast<size_t>(std::min<uint64_t>(chunk.size(), segment.size - done));
      const size_t got = memory.Read(segment.address + done, chunk.data(), size);
      if (got > 0) ok = platform::WriteAllAt(fd, segment.file_offset + done, chunk.data(), got);
      if (got == size) {
        done += size;
      } else {
        // A page that cannot be read stays a hole in the file, which reads as zeros.
        const uint64_t failed = segment.address + done + got;
        done = (failed / page_size + 1) * page_size - segment.address;
      }
    }
  }
  ok = ok && platform::SetFileSize(fd, end);
  summary.file_bytes = end;
  summary.segments = segments.size();
  summary.written = ok;
  return summary;
}

}  // namespace

CoreDumpSummary WriteCrashDump(int fd, const platform::FaultPointers* pointers) {
  if (pointers != nullptr && pointers->record != nullptr && pointers->context != nullptr) {
    DebugOutput(kWritingText);
    return WriteCore(fd, *pointers->record, *pointers->context);
  }
  DebugOutput(kRaisingText);
  auto record = std::make_unique<FaultRecord>();
  auto context = std::make_unique<FaultContext>();
  platform::CaptureCurrentContext(record.get(), context.get());
  DebugOutput(kWritingText);
  return WriteCore(fd, *record, *context);
}

}  // namespace forgeval
