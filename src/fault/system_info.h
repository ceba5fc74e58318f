// The machine description and the module list inside the crash report (crash_report.h), both
// written through AppendReportText, CRLF line ends.
//
// Machine description:
//   Error occurred at 3/14/2025 09:05:06.
//   /opt/forgeval/forgeval, run by root.
//   Operating system:  Debian GNU/Linux 12 (bookworm) (6.1.0-18-amd64).
//                      (on Windows: "Windows 10 Pro (10.0.19045)", product name and version)
//   2 processor(s), type 8664.
//   37% memory in use.
//   and six lines "%d MBytes physical memory[ free]", "... paging file[ free]" (swap) and
//   "... user address space[ free]", each a byte count rounded up to whole MiB.
// A query that fails shows "Unknown" (program path, user), "Linux" (no distribution name),
// an empty text (time, kernel release) or 0 (figures).
//
// Module list: every loaded ELF object (Windows module), numbered from 1 in address order, each
// entry ended by an empty line:
//   Module 1
//   /opt/forgeval/forgeval
//   Image Base: 0x55d0c3a00000  Image Size: 0x0004c000
//   Checksum:   0x9f3c0a12  Time Stamp: 0x67d3f0a1
//   File Size:  312840      File Time:  3/14/2025 09:05:06
//   Version Information:
//      Company:
//      Product:
//      FileDesc:   libstdc++.so.6
//      FileVer:    6.0.30.0
//      ProdVer:    6.0.30.0
// A Windows module shows its own facts: image base and size as loaded, the PE headers'
// checksum and time stamp, and its version resource's texts and numbers.
// ELF has no version resource; the fields take their nearest counterparts: image base and
// size = the object's loadable span (a base above 4 GiB is printed in full), checksum = the
// first four bytes of the GNU build id (0 without one), time stamp = the file's modification
// time in seconds, version numbers = the numbers after ".so." in the file's real name,
// description = the soname, company and product empty. A file that cannot be examined shows
// size 0 and an empty time.
//
// Dates use the two-second form: month/day/year and the time with the seconds rounded down
// to an even number, for years 1980 to 2107 only (outside them the text is empty).
#ifndef FORGEVAL_FAULT_SYSTEM_INFO_H_
#define FORGEVAL_FAULT_SYSTEM_INFO_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "fault/crash_report.h"
#include "platform/loaded_objects.h"
#include "platform/system_queries.h"

namespace forgeval {

// The processor-type number of the machine's architecture (8664 for x86-64).
inline constexpr int kProcessorType = 8664;

// Appends the machine description.
void WriteSystemSection(ReportFile& report, const platform::SystemQueries& queries);

// Appends one entry per loaded object, numbered from 1 in ascending address order.
void WriteModuleList(ReportFile& report, const platform::SystemQueries& queries);

// Appends the entry of one object as module `number`; false (nothing appended) when the
// object has no loaded image.
bool WriteModuleEntry(ReportFile& report, const platform::LoadedObject& object, int number,
                      const platform::SystemQueries& queries);

// Sets *name to the distribution's name ("Linux" without one) and *version to the kernel
// release (empty without one); true when the kernel release was known.
bool GetSystemVersionName(std::string* name, std::string* version,
                          const platform::SystemQueries& queries);

// Writes "%d/%d/%d %02d:%02d:%02d" (month, day, year, hours, minutes, even seconds) into
// `buffer` and returns true; leaves the buffer untouched and returns false for a year outside
// 1980-2107, which the two-second form cannot hold.
bool FormatLocalFileTime(char* buffer, size_t capacity, const platform::LocalDateTime& time);

// The version information of one module: a Windows module's version resource as the loaded
// object carries it; for an ELF object what ELF has: the version numbers from
// the digits after ".so." in the file's real name (libstdc++.so.6.0.30 gives 6.0.30.0), the
// description from the soname, no company and no product.
class ModuleVersionInfo {
 public:
  static constexpr size_t kMaxText = 197;  // the accessors give at most this many characters

  ModuleVersionInfo(const platform::LoadedObject& object, const std::string& real_name);

  std::string CompanyName() const { return Cut(company_); }
  std::string ProductName() const { return Cut(product_); }
  std::string FileDescription() const { return Cut(description_); }

  const unsigned* file_version() const { return file_version_; }
  const unsigned* product_version() const { return product_version_; }

 private:
  static std::string Cut(const std::string& text) { return text.substr(0, kMaxText); }

  unsigned file_version_[4] = {};
  unsigned product_version_[4] = {};
  std::string company_;
  std::string product_;
  std::string description_;
};

}  // namespace forgeval

#endif  // FORGEVAL_FAULT_SYSTEM_INFO_H_
