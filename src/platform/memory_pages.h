// The system's part of the memory budget (memory_budget.h): whole pages mapped, touched,
// locked and given back. Called with the budget's lock held, by memory_budget.cpp only.
#ifndef FORGEVAL_PLATFORM_MEMORY_PAGES_H_
#define FORGEVAL_PLATFORM_MEMORY_PAGES_H_

#include <cstddef>

namespace forgeval::platform {

size_t MemoryPageBytes();
// Maps `bytes` (whole pages) of zero-filled memory and writes to every page, so each is
// backed when this returns; null when the system refuses.
void* MapAndTouchPages(size_t bytes);
// Locks the pages in memory when the system's limit leaves room for them; false otherwise.
bool LockPages(void* block, size_t bytes);
void UnlockPages(void* block, size_t bytes);
void UnmapPages(void* block, size_t bytes);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_MEMORY_PAGES_H_
