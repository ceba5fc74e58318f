// The hardware's own error reports on Windows are in its WHEA event channel and the vendors'
// tools, not in the Linux files these readers know.
#include "platform/health_counters.h"

namespace forgeval::platform {

bool HealthSourcesReadable() { return false; }

}  // namespace forgeval::platform
