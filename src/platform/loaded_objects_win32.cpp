// SCAFFOLD: to be replaced by the module list of EnumProcessModules.
#include "platform/loaded_objects.h"

namespace forgeval::platform {

std::vector<LoadedObject> ListLoadedObjects() { return {}; }

}  // namespace forgeval::platform
