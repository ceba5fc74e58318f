// The objects loaded into the process, as the loader knows them: on Linux the ELF objects (the
// program, the dynamic loader, the shared libraries and the kernel's vDSO), on Windows the
// modules (the program's .exe and its DLLs). The crash report lists them and the ELF crash dump
// uses their address ranges to pick the segments it saves.
//
// Reads only loader structures, the objects' own mapped headers and, on Windows, the version
// resources of the module files; thread-safe.
#ifndef FORGEVAL_PLATFORM_LOADED_OBJECTS_H_
#define FORGEVAL_PLATFORM_LOADED_OBJECTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace forgeval::platform {

// What a Windows module says of itself: its PE headers and its file's version resource. ELF
// has neither; the crash report then takes the nearest ELF counterparts.
struct ModuleImageFacts {
  uint32_t checksum = 0;    // the optional header's CheckSum
  uint32_t time_stamp = 0;  // the file header's TimeDateStamp (link time, seconds since 1970)
  // From the version resource; empty texts and 0.0.0.0 without one. Versions are major, minor,
  // build, revision.
  std::string company;
  std::string product;
  std::string description;
  unsigned file_version[4] = {};
  unsigned product_version[4] = {};
};

struct LoadedObject {
  // The file name the loader used; the program's own path for the executable; for the vDSO
  // its soname, as it has no file.
  std::string path;
  // ELF: lowest address of its loadable segments, rounded down to a page; Windows: where the
  // module's image was loaded.
  uint64_t base = 0;
  // ELF: from base to the end of its highest loadable segment, in whole pages; Windows: the
  // image's size in memory.
  uint64_t span = 0;
  std::vector<uint8_t> build_id;  // the GNU build id, empty without one
  std::string soname;             // DT_SONAME, empty without one
  bool has_file = true;           // false for the vDSO, which the kernel provides in memory
  std::optional<ModuleImageFacts> image = std::nullopt;  // Windows modules only
};

// Every loaded object with at least one loadable segment, in ascending order of base.
std::vector<LoadedObject> ListLoadedObjects();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_LOADED_OBJECTS_H_
