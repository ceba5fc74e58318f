// SMART is read through smartctl's Linux device names; on Windows the source is unavailable.
#include "platform/smart_status.h"

namespace forgeval::platform {

std::optional<std::string> FindSmartctl() { return std::nullopt; }

std::optional<std::string> DiskOfFolder(const std::string&, const std::string&) {
  return std::nullopt;
}

std::optional<SmartctlResult> RunSmartctl(const std::string&, const std::string&,
                                          std::chrono::milliseconds) {
  return std::nullopt;
}

}  // namespace forgeval::platform
