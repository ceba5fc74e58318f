// The kernel's log as /dev/kmsg gives it: one record per read, "pri,seq,usec,flags;text",
// followed by dictionary lines that begin with a blank. Records older than the run are
// skipped: the reader starts at the end of the log when it is opened. When the kernel's ring
// overwrote records before they were read, a read fails with EPIPE and the next one goes on
// with the oldest record still there; the gap in the sequence numbers says how many were lost.
//
// A plain file in the same format works too (the tests append records to one). One reader
// belongs to one thread at a time.
#ifndef FORGEVAL_PLATFORM_KERNEL_LOG_H_
#define FORGEVAL_PLATFORM_KERNEL_LOG_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace forgeval::platform {

// Environment variable naming another file instead of /dev/kmsg (for the tests).
inline constexpr const char* kKmsgVariable = "FORGEVAL_KMSG";
// /dev/kmsg, or the variable's value when set and not empty.
std::string KmsgPath();

struct KernelRecord {
  uint64_t sequence = 0;
  int level = 0;     // 0 emergency ... 7 debug
  std::string text;  // the message; continued fragments joined
};

struct KernelLogNews {
  std::vector<KernelRecord> records;
  uint64_t lost = 0;         // records overwritten before they could be read
  bool overwritten = false;  // the kernel said so (EPIPE), even when the count is unknown
};

class KernelLog {
 public:
  KernelLog() = default;
  virtual ~KernelLog() = default;
  KernelLog(const KernelLog&) = delete;
  KernelLog& operator=(const KernelLog&) = delete;

  // Opens `path` and goes to its end; false (with errno) when it cannot be read.
  bool Open(const std::string& path);
  bool is_open() const { return fd_.valid(); }
  // The records written since the last call (or since Open).
  KernelLogNews ReadNew();

 protected:
  // One read of at most `size` bytes; < 0 with errno on failure. The seam for the tests,
  // which cannot make the kernel overwrite its ring on demand.
  virtual ssize_t ReadChunk(char* buffer, size_t size);

 private:
  void Parse(std::string_view line, KernelLogNews& news);

  UniqueFd fd_;
  std::string partial_;  // an unfinished last line of a plain file
  std::optional<uint64_t> last_sequence_;
};

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_KERNEL_LOG_H_
