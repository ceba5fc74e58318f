// EnumProcessModules lists the modules; GetModuleInformation gives each one's load address and
// image size, GetModuleFileNameExA its file. The checksum and link time come from the image's
// own PE headers in memory, the version texts and numbers from the file's version resource
// (GetFileVersionInfoA and VerQueryValueA), as Explorer's properties page shows them.
#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/loaded_objects.h"

namespace forgeval::platform {
namespace {

// The checksum and time stamp of the image loaded at `base`; nullopt when it does not begin
// with the MZ and PE signatures.
std::optional<ModuleImageFacts> ReadImageHeaders(const uint8_t* base, uint64_t span) {
  IMAGE_DOS_HEADER dos;
  if (span < sizeof dos) return std::nullopt;
  memcpy(&dos, base, sizeof dos);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<uint64_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > span)
    return std::nullopt;
  IMAGE_NT_HEADERS64 headers;
  memcpy(&headers, base + dos.e_lfanew, sizeof headers);
  if (headers.Signature != IMAGE_NT_SIGNATURE) return std::nullopt;
  ModuleImageFacts facts;
  facts.time_stamp = headers.FileHeader.TimeDateStamp;
  // The optional header's leading fields up to CheckSum are the same in PE32 and PE32+.
  facts.checksum = headers.OptionalHeader.CheckSum;
  return facts;
}

void SplitVersion(DWORD most, DWORD least, unsigned* numbers) {
  numbers[0] = HIWORD(most);
  numbers[1] = LOWORD(most);
  numbers[2] = HIWORD(least);
  numbers[3] = LOWORD(least);
}

// A string value of the first language of the version block; empty without one.
std::string VersionString(const void* block, const char* name) {
  struct Translation {
    WORD language;
    WORD code_page;
  };
  void* found = nullptr;
  UINT size = 0;
  if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", &found, &size) ||
      size < sizeof(Translation))
    return {};
  Translation first;
  memcpy(&first, found, sizeof first);
  char path[96];
  snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", first.language, first.code_page,
           name);
  if (!VerQueryValueA(block, path, &found, &size) || size == 0) return {};
  const auto* text = static_cast<const char*>(found);
  return std::string(text, strnlen(text, size));
}

void ReadVersionResource(const std::string& path, ModuleImageFacts* facts) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return;
  std::vector<char> block(size + 1, 0);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return;
  void* found = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &found, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return;
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, found, sizeof fixed);
  SplitVersion(fixed.dwFileVersionMS, fixed.dwFileVersionLS, facts->file_version);
  SplitVersion(fixed.dwProductVersionMS, fixed.dwProductVersionLS, facts->product_version);
  facts->company = VersionString(block.data(), "CompanyName");
  facts->description = VersionString(block.data(), "FileDescription");
  facts->product = VersionString(block.data(), "ProductName");
}

}  // namespace

std::vector<LoadedObject> ListLoadedObjects() {
  const HANDLE process = GetCurrentProcess();
  std::vector<HMODULE> modules(64);
  for (;;) {
    DWORD needed = 0;
    const auto room = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    if (!EnumProcessModules(process, modules.data(), room, &needed)) return {};
    modules.resize(needed / sizeof(HMODULE));
    if (needed <= room) break;  // else a DLL was loaded meanwhile: ask again with more room
  }
  std::vector<LoadedObject> objects;
  for (HMODULE module : modules) {
    MODULEINFO info{};
    char path[MAX_PATH * 4];
    if (!GetModuleInformation(process, module, &info, sizeof info)) continue;
    const DWORD length = GetModuleFileNameExA(process, module, path, sizeof path);
    LoadedObject object;
    object.path.assign(path, length < sizeof path ? length : 0);
    object.base = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
    object.span = info.SizeOfImage;
    object.has_file = !object.path.empty();
    object.image = ReadImageHeaders(static_cast<const uint8_t*>(info.lpBaseOfDll), object.span);
    if (object.image && object.has_file) ReadVersionResource(object.path, &*object.image);
    objects.push_back(std::move(object));
  }
  std::sort(objects.begin(), objects.end(),
            [](const LoadedObject& a, const LoadedObject& b) { return a.base < b.base; });
  return objects;
}

}  // namespace forgeval::platform
