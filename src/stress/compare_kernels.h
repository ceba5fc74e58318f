// The fill and read-back kernels of the memory and cache tests: sweeps that touch every byte
// of a block once, from its lowest address to its highest. Read-backs compare wide (AVX-512 or
// AVX2 where the processor and the system support them, 64-bit words otherwise) and only when
// a wide compare finds a difference look for the exact first bad byte or word. No kernel reads
// or writes a byte outside the range it is given.
//
// The memory test's stores are streaming (non-temporal) stores followed by a store fence: a
// 4,096,000-byte block would otherwise stay in the caches for all 256 fills, and the
// read-backs would test cache lines instead of memory cells. A streaming store evicts any
// cached copy of its line and writes the memory, so the read-back that follows reads the
// memory. Only the bytes of a range that do not fill a whole aligned vector (none on the
// page-aligned test blocks) are stored the ordinary way.
//
// The processor's best level is chosen once, at first use; every level gives the same
// answers, so tests run each level this machine supports against the same expectations.
//
// The kernels themselves cannot keep a compiler from answering a read-back out of the fill
// that preceded it: callers put CompilerBarrier() between the fill and the read-back.
#ifndef FORGEVAL_STRESS_COMPARE_KERNELS_H_
#define FORGEVAL_STRESS_COMPARE_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace forgeval {

enum class KernelLevel { kPortable, kAvx2, kAvx512 };

struct CompareKernels {
  KernelLevel level;
  const char* name;
  // The first byte of [data, data + size) that does not hold `value`; null when all do.
  const uint8_t* (*find_byte_mismatch)(const uint8_t* data, size_t size, uint8_t value);
  // Streaming fill: every byte of [data, data + size) receives `value`.
  void (*fill_bytes)(uint8_t* data, size_t size, uint8_t value);
  // The address and data bus passes over words[0..count): word i stands for the value i + 1.
  // Write pass (streaming): word i receives i + 1.
  void (*write_index_words)(uint64_t* words, size_t count);
  // Check-and-complement pass (streaming), in ascending order: returns the first word that does not
  // hold i + 1 (the words before it have received ~(i + 1), it and the rest are untouched);
  // null when every word held its value and received its complement.
  const uint64_t* (*check_and_complement)(uint64_t* words, size_t count);
  // Complement check pass: the first word that does not hold ~(i + 1); null when all do.
  const uint64_t* (*find_complement_mismatch)(const uint64_t* words, size_t count);
};

// Whether this processor and system can run the kernels of `level`.
bool KernelLevelSupported(KernelLevel level);

// The kernels of `level`; the level must be supported.
const CompareKernels& KernelsFor(KernelLevel level);

// The kernels of the best supported level.
const CompareKernels& BestKernels();

// Tells the compiler that the memory at `data` may have changed behind its back, so that a
// read-back after it really reads instead of being answered from the fill before it.
inline void CompilerBarrier(const void* data) { asm volatile("" : : "r"(data) : "memory"); }

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_COMPARE_KERNELS_H_
