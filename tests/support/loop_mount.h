// A small ext4 filesystem of a chosen size, in a sparse image file, mounted on a folder of
// its own through a loop device: for tests that need a real filesystem with a given amount
// of free space, few inodes, or a read-only mount. It needs root and mkfs.ext4, losetup,
// mount and umount; when it cannot be made, skip_reason() says why. Unmounted, detached
// and removed again when the object goes away, also when the test failed.
#ifndef FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_
#define FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_

#include <cstdint>
#include <string>

#include "temp_dir.h"

namespace forgeval::testing {

struct LoopMountOptions {
  uint64_t image_bytes = 64ull << 20;
  int inodes = 0;  // 0: mkfs.ext4's default
  bool read_only = false;
};

class LoopMount {
 public:
  explicit LoopMount(const LoopMountOptions& options);
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  ~LoopMount();

  // Empty when the filesystem is mounted; otherwise why it could not be.
  const std::string& skip_reason() const { return skip_reason_; }
  // The mounted folder, without a trailing '/'.
  std::string path() const { return dir_.File("mnt"); }
  // Bytes available to the caller on the mounted filesystem.
  uint64_t AvailableBytes() const;
  // Sectors of 512 bytes the loop device has read and written since it was attached.
  uint64_t SectorsRead() const { return DeviceStat(2); }
  uint64_t SectorsWritten() const { return DeviceStat(6); }

 private:
  uint64_t DeviceStat(int field) const;

  TempDir dir_;
  std::string device_;  // "/dev/loopN" once attached
  bool mounted_ = false;
  std::string skip_reason_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_LOOP_MOUNT_H_
