// The memory test. Each worker allocates its own blocks of 4,096,000 bytes, MemSize / 4 of
// them (the "MemSize" key of section "Memory", default 4, a signed number of megabytes), and
// runs two checks over them in block-list order:
//   - the address and data bus check: word i of a block receives i + 1; a second pass checks
//     each word and gives it the complement of i + 1; a third checks the complements;
//   - the DRAM array check: for each byte value 0 to 255 the whole block is filled with it and
//     read back.
// The first bad word or byte ends the worker through the error path with its address. Every
// fill and every read-back reaches the block: a compiler barrier (BetweenPasses) separates
// them, and the read-backs compare wide and look for the exact address only when a difference
// shows.
//
// Texts, console / log ("Thread %d : " on the console only):
//   "Allocating %dMB Memory for testing..."          (no "[Done]")
//   "Testing Memory Address & Data bus..." and "...[Done]"
//   "Testing DRAM Arrays..." and "...[Done]"
//   "De-allocating %dMB Memory..." and "...[Done]"
// Error texts, "%p" as sixteen upper-case hexadecimal digits:
//   "[***ERROR: Thread %d : Allocating Memory at %p ***]"   a block the budget refuses (null)
//   "[***ERROR Thread %d : Occured with Data Bus test at address %p ***]"
//   "[***ERROR Thread %d : Occured DRAM array test at address %p ***]"
//   "[***ERROR: Thread %d : Allocating Memory: MemSize %d gives a negative block count ***]"
#ifndef FORGEVAL_STRESS_MEMORY_H_
#define FORGEVAL_STRESS_MEMORY_H_

#include <cstddef>
#include <cstdint>

namespace forgeval {

inline constexpr size_t kMemoryBlockBytes = 4096000;
inline constexpr size_t kMemoryBlockWords = kMemoryBlockBytes / sizeof(uint64_t);

// The worker entry: the argument is the worker index.
uint32_t MemoryTestThread(uintptr_t argument);

// MemSize / 4, rounded toward zero: 0 to 3 give 0 blocks, 7 gives 1, -8 gives -2.
int32_t MemoryBlockCount(int32_t mem_size);

// The address and data bus check of one block of `count` words, block number `block` of
// worker `worker_index`: the first word that read back wrong, or null.
const uint64_t* CheckAddressDataBus(int worker_index, size_t block, uint64_t* words, size_t count);

// The DRAM array check of one block: all 256 fill values in ascending order; the first byte
// that read back wrong, or null. Stops the worker between fill values when it is interrupted.
const uint8_t* CheckDramArray(int worker_index, size_t block, uint8_t* data, size_t size);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_MEMORY_H_
