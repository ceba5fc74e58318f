// The cache test. Each worker runs two phases, one sized for the first-level cache (a buffer
// of 91,750 bytes, 0.7 x 128 KiB) and one for the second-level cache (734,003 bytes,
// 0.7 x 1 MiB). In each phase, for each byte value 0 to 255, the buffer is filled with the
// value and read back sixty times, every byte compared with it. The first byte that differs
// ends the worker through the error path. Nothing configures the sizes, but a phase whose
// fixed size does not fit the data cache of its level on the worker's processor (an L1 data
// cache of 32 or 48 KiB holds no 91,750 bytes) uses three quarters of that cache instead, so
// each phase runs in the cache it names.
//
// Each phase: allocate its buffer (failure: its allocation text, before any announcement of
// the phase), announce "Testing L1 Cache..." (or L2), run the fills and read-backs, release
// the buffer, announce "Testing L1 Cache...[Done]". Error texts:
//   "[*** ERROR Thread %d : Occured while allocating memory for L1 Cache ***]"  (or L2)
//   "[***ERROR Thread %d : Occured at L1 Cache ***]"                           (or L2)
#ifndef FORGEVAL_STRESS_CACHE_H_
#define FORGEVAL_STRESS_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <optional>

namespace forgeval {

inline constexpr size_t kL1CacheBufferBytes = 91750;
inline constexpr size_t kL2CacheBufferBytes = 734003;
inline constexpr int kCacheReadBacks = 60;

// The worker entry: the argument is the worker index.
uint32_t CacheTestThread(uintptr_t argument);

// A phase's buffer size: `fixed_bytes` when it fits a cache of `cache_bytes` (or the cache's
// size is unknown), otherwise three quarters of the cache.
size_t CacheBufferBytes(size_t fixed_bytes, std::optional<uint64_t> cache_bytes);

// One phase's fills and read-backs over `data`: every fill value, sixty read-backs each. The
// first byte that read back wrong, or null. Stops the worker between fill values when it is
// interrupted.
const uint8_t* CheckCacheBuffer(int worker_index, uint8_t* data, size_t size);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_CACHE_H_
