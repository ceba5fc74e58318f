#include "platform/health_counters.h"

namespace forgeval::platform {

bool HealthSourcesReadable() { return true; }

}  // namespace forgeval::platform
