#include "platform/cache_sizes.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "stress/cache.h"
#include "temp_dir.h"

namespace forgeval::platform {
namespace {

using testing::TempDir;
using testing::WriteFile;

// One cache index of processor `cpu` in a fixture tree shaped like /sys; an empty field
// leaves its file out.
void WriteIndex(const TempDir& sys, int cpu, int index, const std::string& level,
                const std::string& type, const std::string& size) {
  const std::string folder = sys.File("devices/system/cpu/cpu" + std::to_string(cpu) +
                                      "/cache/index" + std::to_string(index));
  std::filesystem::create_directories(folder);
  if (!level.empty()) WriteFile(folder + "/level", level + "\n");
  if (!type.empty()) WriteFile(folder + "/type", type + "\n");
  if (!size.empty()) WriteFile(folder + "/size", size + "\n");
}

// The L1 data cache of a few processor generations, the instruction cache beside it that must
// not be taken for it, the unified L2, and the phase buffers the cache test makes of them.
TEST(CacheSizesTest, DataCachesFromTheSystemTreeSizeTheCachePhases) {
  TempDir sys;
  const struct {
    int cpu;
    const char* l1d;
    std::optional<uint64_t> l1_bytes;
    size_t l1_buffer;
  } cases[] = {
      {0, "32K", 32768, 24576},      // a 32 KiB L1d: three quarters of it
      {1, "48K", 49152, 36864},      // 48 KiB
      {2, "128K", 131072, 91750},    // 128 KiB holds the fixed 91,750 bytes
      {3, "", std::nullopt, 91750},  // size file missing: the fixed size
      {4, "huge", std::nullopt, 91750},
  };
  for (const auto& c : cases) {
    WriteIndex(sys, c.cpu, 0, "1", "Instruction", "16K");
    WriteIndex(sys, c.cpu, 1, "1", "Data", c.l1d);
    WriteIndex(sys, c.cpu, 3, "2", "Unified", "1024K");  // index2 missing: gaps are read past
  }
  WriteIndex(sys, 5, 0, "", "Data", "48K");  // no level: not a cache of any level
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cpu);
    EXPECT_EQ(DataCacheBytes(c.cpu, 1, sys.path()), c.l1_bytes);
    EXPECT_EQ(CacheBufferBytes(kL1CacheBufferBytes, DataCacheBytes(c.cpu, 1, sys.path())),
              c.l1_buffer);
    EXPECT_EQ(DataCacheBytes(c.cpu, 2, sys.path()), 1048576u);
    EXPECT_EQ(CacheBufferBytes(kL2CacheBufferBytes, DataCacheBytes(c.cpu, 2, sys.path())),
              kL2CacheBufferBytes);
  }
  EXPECT_EQ(DataCacheBytes(5, 1, sys.path()), std::nullopt);
  EXPECT_EQ(DataCacheBytes(6, 1, sys.path()), std::nullopt);  // no such processor
  EXPECT_EQ(CacheBufferBytes(kL2CacheBufferBytes, 524288), 393216u);
  // This machine's own tree, when it has one, names an L1 data cache of a sensible size.
  if (const auto l1 = DataCacheBytes(0, 1)) {
    EXPECT_GE(*l1, 4096u);
  }
}

}  // namespace
}  // namespace forgeval::platform
