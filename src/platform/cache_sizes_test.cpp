#include "platform/cache_sizes.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "stress/cache.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

// The L1 data cache of a few processor generations beside an instruction cache that must not
// be taken for it, a unified L2 behind a gap in the numbering, and the phase buffers the cache
// test makes of them: the fixed size where it fits, else three quarters of the cache.
TEST(CacheSizesTest, DataCachesFromTheSystemTreeSizeTheCachePhases) {
  testing::TempDir sys;
  const auto index = [&sys](int cpu, int position, const std::string& level, const char* type,
                            const std::string& size) {
    const std::string folder = sys.File("devices/system/cpu/cpu" + std::to_string(cpu) +
                                        "/cache/index" + std::to_string(position) + "/");
    std::filesystem::create_directories(folder);
    if (!level.empty()) testing::WriteFile(folder + "level", level + "\n");
    testing::WriteFile(folder + "type", std::string(type) + "\n");
    if (!size.empty()) testing::WriteFile(folder + "size", size + "\n");
  };
  const std::tuple<const char*, std::optional<uint64_t>, size_t> cases[] = {
      {"32K", 32768, 24576},
      {"48K", 49152, 36864},
      {"128K", 131072, 91750},
      {"", std::nullopt, 91750},  // no size file
      {"huge", std::nullopt, 91750}};
  for (int cpu = 0; cpu < 5; ++cpu) {
    const auto& [l1d, l1_bytes, l1_buffer] = cases[cpu];
    SCOPED_TRACE(l1d);
    index(cpu, 0, "1", "Instruction", "16K");
    index(cpu, 1, "1", "Data", l1d);
    index(cpu, 3, "2", "Unified", "1024K");
    EXPECT_EQ(DataCacheBytes(cpu, 1, sys.path()), l1_bytes);
    EXPECT_EQ(CacheBufferBytes(kL1CacheBufferBytes, DataCacheBytes(cpu, 1, sys.path())), l1_buffer);
    EXPECT_EQ(DataCacheBytes(cpu, 2, sys.path()), 1048576u);
    EXPECT_EQ(CacheBufferBytes(kL2CacheBufferBytes, 1048576), kL2CacheBufferBytes);
  }
  index(5, 0, "", "Data", "48K");  // no level: a cache of no level
  EXPECT_EQ(DataCacheBytes(5, 1, sys.path()), std::nullopt);
  EXPECT_EQ(DataCacheBytes(6, 1, sys.path()), std::nullopt);  // no such processor
  EXPECT_EQ(CacheBufferBytes(kL2CacheBufferBytes, 524288), 393216u);
  EXPECT_GE(DataCacheBytes(0, 1).value_or(4096), 4096u);  // this machine's, where it says
}

}  // namespace
}  // namespace forgeval::platform
