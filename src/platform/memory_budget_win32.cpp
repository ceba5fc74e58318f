// The memory budget on Windows. Windows does not overcommit: a block is committed against the
// commit limit (physical memory plus paging files) when it is allocated. But a commit that
// succeeds may still be served from the paging file, which would test the disk instead of the
// memory cells, so the room left is also bounded by the physical memory available.
#include <windows.h>

#include <algorithm>
#include <optional>

#include "platform/memory_budget.h"
#include "platform/memory_pages.h"

namespace forgeval::platform {
namespace {

std::optional<MEMORYSTATUSEX> MemoryStatus() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
  return status;
}

}  // namespace

size_t MemorySafetyMargin() {
  const std::optional<MEMORYSTATUSEX> status = MemoryStatus();
  const size_t total = status ? static_cast<size_t>(status->ullTotalPhys) : 0;
  return (size_t{256} << 20) + total / 32;
}

std::optional<size_t> MemoryRoomLeft() {
  const std::optional<MEMORYSTATUSEX> status = MemoryStatus();
  if (!status) return std::nullopt;
  const size_t room = static_cast<size_t>(std::min(status->ullAvailPhys, status->ullAvailPageFile));
  const size_t margin = MemorySafetyMargin();
  return room > margin ? room - margin : 0;
}

size_t MemoryPageBytes() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize;
}

void* MapAndTouchPages(size_t bytes) {
  void* block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) return nullptr;
  const size_t page = MemoryPageBytes();
  auto* bytes_of = static_cast<volatile char*>(block);
  for (size_t offset = 0; offset < bytes; offset += page) bytes_of[offset] = 0;
  return block;
}

// VirtualLock counts against the process's minimum working set; the set is grown by the block
// first, and a block the system will not keep resident is tested unlocked.
bool LockPages(void* block, size_t bytes) {
  SIZE_T minimum = 0, maximum = 0;
  HANDLE process = GetCurrentProcess();
  if (!GetProcessWorkingSetSize(process, &minimum, &maximum)) return false;
  if (!SetProcessWorkingSetSize(process, minimum + bytes, std::max(maximum, minimum + bytes)))
    return false;
  if (VirtualLock(block, bytes)) return true;
  SetProcessWorkingSetSize(process, minimum, maximum);
  return false;
}

void UnlockPages(void* block, size_t bytes) {
  VirtualUnlock(block, bytes);
  SIZE_T minimum = 0, maximum = 0;
  HANDLE process = GetCurrentProcess();
  if (GetProcessWorkingSetSize(process, &minimum, &maximum) && minimum > bytes)
    SetProcessWorkingSetSize(process, minimum - bytes, maximum);
}

void UnmapPages(void* block, size_t) { VirtualFree(block, 0, MEM_RELEASE); }

}  // namespace forgeval::platform
