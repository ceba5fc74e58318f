// A real ext4 filesystem of a chosen size, inode count or read-only, on a loop device; needs
// root. skip_reason() is empty once mounted. Unmounted and detached when it goes away.
#ifndef FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_
#define FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_

#include <sys/statvfs.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "run_process.h"
#include "temp_dir.h"

namespace forgeval::testing {

struct LoopMountOptions {
  uint64_t image_bytes = 64ull << 20;
  int inodes = 0;  // 0: mkfs.ext4's default
  bool read_only = false;
};

class LoopMount {
 public:
  explicit LoopMount(const LoopMountOptions& options) {
    const std::string image = dir_.File("fs.img"), inodes = std::to_string(options.inodes);
    const ProcessResult made =
        Shell("truncate -s " + std::to_string(options.image_bytes) + " " + image +
              " && mkfs.ext4 -q -F -m 0 " + (options.inodes > 0 ? "-N " + inodes + " " : "") +
              image + " && d=$(losetup -f --show " + image + ") && echo $d && mkdir " + path() +
              " && mount " + (options.read_only ? "-o ro " : "") + "$d " + path());
    device_ = made.output.substr(0, made.output.find('\n'));
    if (made.exit_code != 0) skip_reason_ = "no loop mount here: " + made.errors;
  }
  ~LoopMount() {
    if (!device_.empty()) Shell("umount -l " + path() + "; losetup -d " + device_);
  }

  const std::string& skip_reason() const { return skip_reason_; }
  std::string path() const { return dir_.File("mnt"); }      // without a trailing '/'
  std::string image() const { return dir_.File("fs.img"); }  // the device's backing file
  uint64_t AvailableBytes() const {
    struct statvfs info;
    return statvfs(path().c_str(), &info) == 0 ? uint64_t{info.f_bavail} * info.f_frsize : 0;
  }
  // 512-byte sectors the loop device has read and written since it was attached.
  uint64_t SectorsRead() const { return DeviceStat(2); }
  uint64_t SectorsWritten() const { return DeviceStat(6); }

 private:
  static ProcessResult Shell(const std::string& script) {
    return RunProcess({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + script}, {});
  }
  // /sys/block/loopN/stat: reads, merges, sectors read, ticks, writes, merges, sectors written
  uint64_t DeviceStat(int field) const {
    std::istringstream stat(ReadFile("/sys/block/" + device_.substr(5) + "/stat"));
    uint64_t value = 0;
    while (field-- >= 0 && stat >> value) {
    }
    return value;
  }

  TempDir dir_;
  std::string device_;  // "/dev/loopN" once attached
  std::string skip_reason_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_
