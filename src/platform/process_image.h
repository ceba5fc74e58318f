// The running process as a crash dump records it: its memory mappings, a way to read its
// own memory without faulting on a bad page, the auxiliary vector the kernel gave it and the
// identity a core file names (process ids, owner, command).
#ifndef FORGEVAL_PLATFORM_PROCESS_IMAGE_H_
#define FORGEVAL_PLATFORM_PROCESS_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace forgeval::platform {

// One line of /proc/self/maps.
struct MemoryMapping {
  uint64_t start = 0;
  uint64_t end = 0;  // one past the last byte
  bool readable = false;
  bool writable = false;
  bool executable = false;
  bool shared = false;
  uint64_t file_offset = 0;
  uint64_t inode = 0;
  // The mapped file's path, a kernel name in brackets ("[heap]", "[stack]", "[vdso]"), or
  // empty for anonymous memory.
  std::string name;

  bool file_backed() const { return inode != 0 && !name.empty() && name.front() == '/'; }
};

// The process's mappings in ascending address order; empty when they cannot be read.
std::vector<MemoryMapping> ReadMemoryMap();

// Reads this process's memory through /proc/self/mem, so that an unmapped page gives an error
// instead of a fault. Note that it reads pages the process itself may not (PROT_NONE), as a
// debugger would. Thread-safe.
class SelfMemory {
 public:
  SelfMemory();
  bool valid() const { return fd_.valid(); }
  // Copies up to `size` bytes from `address`; returns how many could be read (stops at the
  // first page that is not mapped).
  size_t Read(uint64_t address, void* buffer, size_t size) const;

 private:
  UniqueFd fd_;
};

// The raw auxiliary vector (/proc/self/auxv); empty when it cannot be read.
std::string ReadAuxVector();

struct ProcessIdentity {
  int pid = 0;
  int parent_pid = 0;
  int process_group = 0;
  int session = 0;
  unsigned user_id = 0;
  unsigned group_id = 0;
  std::string command;    // the kernel's short name of the program (/proc/self/comm)
  std::string arguments;  // the command line, arguments separated by blanks
};

ProcessIdentity ReadProcessIdentity();

// The size of a memory page.
uint64_t PageSize();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_PROCESS_IMAGE_H_
