// The sizes of the processors' caches, as the kernel describes them under
// /sys/devices/system/cpu/cpuN/cache/indexK/ (files "level", "type" and "size"). The cache test
// sizes each phase's buffer to the cache it names on the processor its worker runs on.
#ifndef FORGEVAL_PLATFORM_CACHE_SIZES_H_
#define FORGEVAL_PLATFORM_CACHE_SIZES_H_

#include <cstdint>
#include <optional>
#include <string>

namespace forgeval::platform {

// The size in bytes of the data (or unified) cache of `level` (1, 2, ...) that processor `cpu`
// uses; nothing when the system does not say. `sys_root` is the folder that holds devices/
// ("/sys"; tests pass a fixture tree).
std::optional<uint64_t> DataCacheBytes(int cpu, int level, const std::string& sys_root = "/sys");

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_CACHE_SIZES_H_
