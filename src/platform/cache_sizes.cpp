// The kernel writes a cache's size as a number of kibibytes with the suffix "K" ("48K"); "M"
// and a bare number of bytes are read too. An index whose level or type cannot be read is
// passed over, and the numbering of the indices has gaps on some machines, so all of them are
// looked at; the first data or unified cache of the level decides, and a size that cannot be
// read there gives none (the caller then keeps its fixed size).
#include "platform/cache_sizes.h"

#include <cstdlib>
#include <filesystem>

#include "platform/files.h"

namespace forgeval::platform {
namespace {

std::string FirstLine(const std::filesystem::path& path) {
  std::string text = ReadWholeFile(path.string()).value_or("");
  return text.substr(0, text.find('\n'));
}

std::optional<uint64_t> SizeBytes(const std::string& text) {
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || number == 0) return std::nullopt;
  const std::string suffix(end);
  if (suffix.empty()) return number;
  if (suffix == "K") return number << 10;
  if (suffix == "M") return number << 20;
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> DataCacheBytes(int cpu, int level, const std::string& sys_root) {
  const std::filesystem::path folder = std::filesystem::path(sys_root) / "devices/system/cpu" /
                                       ("cpu" + std::to_string(cpu)) / "cache";
  std::error_code error;
  for (const auto& index : std::filesystem::directory_iterator(folder, error)) {
    if (index.path().filename().string().rfind("index", 0) != 0) continue;
    const std::string type = FirstLine(index.path() / "type");
    if (FirstLine(index.path() / "level") != std::to_string(level) ||
        (type != "Data" && type != "Unified")) {
      continue;
    }
    return SizeBytes(FirstLine(index.path() / "size"));
  }
  return std::nullopt;
}

}  // namespace forgeval::platform
