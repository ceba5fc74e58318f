// The ELF objects loaded into the process (the program, the dynamic loader, the shared
// libraries and the kernel's vDSO), as the dynamic loader knows them. The crash report lists
// them and the crash dump uses their address ranges to pick the segments it saves.
//
// Reads only loader structures and the objects' own mapped headers; thread-safe.
#ifndef FORGEVAL_PLATFORM_LOADED_OBJECTS_H_
#define FORGEVAL_PLATFORM_LOADED_OBJECTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace forgeval::platform {

struct LoadedObject {
  // The file name the loader used; the program's own path for the executable; for the vDSO
  // its soname, as it has no file.
  std::string path;
  uint64_t base = 0;  // lowest address of its loadable segments, rounded down to a page
  uint64_t span = 0;  // from base to the end of its highest loadable segment, in whole pages
  std::vector<uint8_t> build_id;  // the GNU build id, empty without one
  std::string soname;             // DT_SONAME, empty without one
  bool has_file = true;           // false for the vDSO, which the kernel provides in memory
};

// Every loaded object with at least one loadable segment, in ascending order of base.
std::vector<LoadedObject> ListLoadedObjects();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_LOADED_OBJECTS_H_
