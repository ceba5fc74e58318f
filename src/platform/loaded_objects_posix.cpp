// dl_iterate_phdr walks the loader's list; for each object the program headers give the
// loadable span, the PT_NOTE segments the build id and PT_DYNAMIC the soname, all read from
// the object's mapped image. The loader has usually relocated the dynamic section's address
// entries in place (DT_STRTAB then holds an absolute address) but not always (the vDSO's is
// read-only), so an address that does not lie inside the object is taken as relative to it.
#include "platform/loaded_objects.h"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/process.h"

namespace forgeval::platform {
namespace {

struct Walk {
  std::vector<LoadedObject> objects;
  uint64_t page_size = 4096;
  bool first = true;
};

void ReadBuildId(const dl_phdr_info* info, const ElfW(Phdr) & note_segment, LoadedObject* object) {
  const auto* at = reinterpret_cast<const uint8_t*>(info->dlpi_addr + note_segment.p_vaddr);
  const uint8_t* const end = at + note_segment.p_memsz;
  while (at + sizeof(ElfW(Nhdr)) <= end) {
    ElfW(Nhdr) header;
    memcpy(&header, at, sizeof header);
    const uint8_t* name = at + sizeof header;
    const uint8_t* descriptor = name + ((header.n_namesz + 3u) & ~3u);
    const uint8_t* next = descriptor + ((header.n_descsz + 3u) & ~3u);
    if (next > end) return;
    if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 && memcmp(name, "GNU", 4) == 0) {
      object->build_id.assign(descriptor, descriptor + header.n_descsz);
      return;
    }
    at = next;
  }
}

void ReadSoname(const dl_phdr_info* info, const ElfW(Phdr) & dynamic_segment,
                LoadedObject* object) {
  const auto* entry = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + dynamic_segment.p_vaddr);
  const size_t count = dynamic_segment.p_memsz / sizeof(ElfW(Dyn));
  uint64_t strings = 0;
  uint64_t soname = 0;
  bool has_soname = false;
  for (size_t i = 0; i < count && entry[i].d_tag != DT_NULL; ++i) {
    if (entry[i].d_tag == DT_STRTAB) strings = entry[i].d_un.d_ptr;
    if (entry[i].d_tag == DT_SONAME) {
      soname = entry[i].d_un.d_val;
      has_soname = true;
    }
  }
  if (!has_soname || strings == 0) return;
  if (strings < object->base || strings >= object->base + object->span) strings += info->dlpi_addr;
  if (strings < object->base || strings >= object->base + object->span) return;
  const char* text = reinterpret_cast<const char*>(strings + soname);
  const uint64_t room = object->base + object->span - (strings + soname);
  object->soname.assign(text, strnlen(text, static_cast<size_t>(room)));
}

int Visit(dl_phdr_info* info, size_t, void* raw_walk) {
  auto* walk = static_cast<Walk*>(raw_walk);
  const bool first = walk->first;
  walk->first = false;
  uint64_t low = UINT64_MAX;
  uint64_t high = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    low = std::min<uint64_t>(low, info->dlpi_addr + segment.p_vaddr);
    high = std::max<uint64_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (high == 0) return 0;  // nothing loaded
  LoadedObject object;
  object.base = low / walk->page_size * walk->page_size;
  object.span = (high + walk->page_size - 1) / walk->page_size * walk->page_size - object.base;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_NOTE && object.build_id.empty()) ReadBuildId(info, segment, &object);
    if (segment.p_type == PT_DYNAMIC) ReadSoname(info, segment, &object);
  }
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  const uint64_t vdso = getauxval(AT_SYSINFO_EHDR);
  object.has_file = vdso == 0 || vdso < object.base || vdso >= object.base + object.span;
  if (!object.has_file && !object.soname.empty()) {
    object.path = object.soname;
  } else if (name[0] != '\0') {
    object.path = name;
  } else if (first) {
    object.path = ProgramPath();
  } else {
    object.path = object.soname;
  }
  walk->objects.push_back(std::move(object));
  return 0;
}

}  // namespace

std::vector<LoadedObject> ListLoadedObjects() {
  Walk walk;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size > 0) walk.page_size = static_cast<uint64_t>(page_size);
  dl_iterate_phdr(&Visit, &walk);
  std::sort(walk.objects.begin(), walk.objects.end(),
            [](const LoadedObject& a, const LoadedObject& b) { return a.base < b.base; });
  return std::move(walk.objects);
}

}  // namespace forgeval::platform
