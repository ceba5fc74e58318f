#include "fault/system_info.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace forgeval {
namespace {

constexpr uint64_t kMebibyte = 1024 * 1024;

unsigned long long Mebibytes(uint64_t bytes) { return (bytes + kMebibyte - 1) / kMebibyte; }

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The numbers after ".so." in a file name, at most four; the rest stay 0.
void VersionFromName(const std::string& name, unsigned* numbers) {
  const size_t at = name.find(".so.");
  if (at == std::string::npos) return;
  const char* text = name.c_str() + at + 4;
  for (int i = 0; i < 4; ++i) {
    if (*text < '0' || *text > '9') return;
    char* end = nullptr;
    const unsigned long number = strtoul(text, &end, 10);
    numbers[i] = static_cast<unsigned>(number);
    if (*end != '.') return;
    text = end + 1;
  }
}

uint32_t BuildIdPrefix(const std::vector<uint8_t>& build_id) {
  uint32_t prefix = 0;
  for (size_t i = 0; i < 4 && i < build_id.size(); ++i) prefix = (prefix << 8) | build_id[i];
  return build_id.size() >= 4 ? prefix : 0;
}

}  // namespace

bool FormatLocalFileTime(char* buffer, size_t capacity, const platform::LocalDateTime& time) {
  if (time.year < 1980 || time.year > 2107) return false;
  snprintf(buffer, capacity, "%d/%d/%d %02d:%02d:%02d", time.month, time.day, time.year, time.hour,
           time.minute, time.second / 2 * 2);
  return true;
}

bool GetSystemVersionName(std::string* name, std::string* version,
                          const platform::SystemQueries& queries) {
  *name = queries.DistributionName().value_or("Linux");
  std::optional<std::string> release = queries.KernelRelease();
  *version = release.value_or(std::string());
  return release.has_value();
}

void WriteSystemSection(ReportFile& report, const platform::SystemQueries& queries) {
  char now[64] = "";
  if (std::optional<platform::LocalDateTime> local = queries.ToLocalTime(queries.Now()))
    FormatLocalFileTime(now, sizeof now, *local);
  AppendReportText(report, "Error occurred at %s.\r\n", now);

  const std::string program = queries.ProgramPath().value_or("Unknown");
  const std::string user = queries.UserName().value_or("Unknown");
  AppendReportText(report, "%s, run by %s.\r\n", program.c_str(), user.c_str());

  std::string name;
  std::string version;
  GetSystemVersionName(&name, &version, queries);
  AppendReportText(report, "Operating system:  %s (%s).\r\n", name.c_str(), version.c_str());

  AppendReportText(report, "%d processor(s), type %d.\r\n", queries.ProcessorsOnline(),
                   kProcessorType);

  const platform::MemoryFigures memory = queries.Memory();
  AppendReportText(report, "%u%% memory in use.\r\n", memory.load_percent);
  AppendReportText(report, "%llu MBytes physical memory.\r\n", Mebibytes(memory.physical_total));
  AppendReportText(report, "%llu MBytes physical memory free.\r\n",
                   Mebibytes(memory.physical_free));
  AppendReportText(report, "%llu MBytes paging file.\r\n", Mebibytes(memory.swap_total));
  AppendReportText(report, "%llu MBytes paging file free.\r\n", Mebibytes(memory.swap_free));
  AppendReportText(report, "%llu MBytes user address space.\r\n",
                   Mebibytes(memory.address_space_total));
  AppendReportText(report, "%llu MBytes user address space free.\r\n",
                   Mebibytes(memory.address_space_free));
}

ModuleVersionInfo::ModuleVersionInfo(const platform::LoadedObject& object,
                                     const std::string& real_name)
    : description_(object.soname) {
  if (object.image) {
    company_ = object.image->company;
    product_ = object.image->product;
    description_ = object.image->description;
    memcpy(file_version_, object.image->file_version, sizeof file_version_);
    memcpy(product_version_, object.image->product_version, sizeof product_version_);
    return;
  }
  VersionFromName(real_name, file_version_);
  memcpy(product_version_, file_version_, sizeof product_version_);
}

bool WriteModuleEntry(ReportFile& report, const platform::LoadedObject& object, int number,
                      const platform::SystemQueries& queries) {
  if (object.span == 0) return false;
  unsigned long long file_size = 0;
  unsigned long long modified = 0;
  char file_time[64] = "";
  std::string real_name = LastComponent(object.path);
  if (object.has_file) {
    if (std::optional<platform::FileFacts> facts = queries.FileFactsOf(object.path)) {
      file_size = facts->size;
      modified = facts->modified > 0 ? static_cast<unsigned long long>(facts->modified) : 0;
      if (std::optional<platform::LocalDateTime> local = queries.ToLocalTime(facts->modified))
        FormatLocalFileTime(file_time, sizeof file_time, *local);
      if (!facts->real_name.empty()) real_name = facts->real_name;
    }
  }
  const ModuleVersionInfo version(object, real_name);
  const unsigned* file_version = version.file_version();
  const unsigned* product_version = version.product_version();

  AppendReportText(report, "Module %d\r\n", number);
  AppendReportText(report, "%s\r\n", object.path.c_str());
  AppendReportText(report, "Image Base: 0x%08llx  Image Size: 0x%08llx\r\n",
                   static_cast<unsigned long long>(object.base),
                   static_cast<unsigned long long>(object.span));
  AppendReportText(report, "Checksum:   0x%08x  Time Stamp: 0x%08llx\r\n",
                   object.image ? object.image->checksum : BuildIdPrefix(object.build_id),
                   object.image ? object.image->time_stamp : modified);
  AppendReportText(report, "File Size:  %-10llu  File Time:  %s\r\n", file_size, file_time);
  AppendReportText(report, "Version Information:\r\n");
  AppendReportText(report, "   Company:    %s\r\n", version.CompanyName().c_str());
  AppendReportText(report, "   Product:    %s\r\n", version.ProductName().c_str());
  AppendReportText(report, "   FileDesc:   %s\r\n", version.FileDescription().c_str());
  AppendReportText(report, "   FileVer:    %u.%u.%u.%u\r\n", file_version[0], file_version[1],
                   file_version[2], file_version[3]);
  AppendReportText(report, "   ProdVer:    %u.%u.%u.%u\r\n", product_version[0], product_version[1],
                   product_version[2], product_version[3]);
  AppendReportText(report, "\r\n");
  return true;
}

void WriteModuleList(ReportFile& report, const platform::SystemQueries& queries) {
  std::vector<platform::LoadedObject> objects = queries.LoadedObjects();
  std::sort(objects.begin(), objects.end(),
            [](const platform::LoadedObject& a, const platform::LoadedObject& b) {
              return a.base < b.base;
            });
  int number = 1;
  for (const platform::LoadedObject& object : objects) {
    if (WriteModuleEntry(report, object, number, queries)) ++number;
  }
}

}  // namespace forgeval
