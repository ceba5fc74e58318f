// One pair of the disk test's files, in the test's three steps: the first file written by the
// worker around the system cache, the second file made by the kernel as a copy of it, and
// both read back from the device and compared block by block. The disk test (disk.h)
// names the files, decides how many pairs to make and reports; this unit moves the blocks.
//
// Each step calls `at_boundary` before every 1 MiB block; the caller ends the worker there
// when the run is interrupted. A failed file operation throws CFileException with its cause.
#ifndef FORGEVAL_STRESS_DISK_PAIR_H_
#define FORGEVAL_STRESS_DISK_PAIR_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/disk_io.h"
#include "platform/memory_budget.h"

namespace forgeval {

inline constexpr size_t kDiskBlockBytes = size_t{1} << 20;
inline constexpr int kDiskBlocksPerFile = 512;
inline constexpr uint64_t kDiskFileBytes = uint64_t{kDiskBlocksPerFile} * kDiskBlockBytes;
// Blocks in flight at once while writing; while verifying, the block being compared and the
// block ahead of it, of both files. Measured against fio: more blocks ahead make the
// verification slower on a virtual disk, not faster.
inline constexpr size_t kDiskSlots = 2;

using BlockBoundary = std::function<void()>;

// A worker's block buffers, 2 * kDiskSlots blocks of kDiskBlockBytes taken from the memory
// budget and backed by huge pages where the kernel allows (platform::CollapseToHugePages),
// and the asynchronous transfers that fill and drain them (slot i uses block i). Kept for the
// worker's whole run.
class DiskWorkspace {
 public:
  // Throws std::bad_alloc when the memory budget refuses the buffers.
  DiskWorkspace();
  std::byte* block(size_t i) const { return blocks_ + i * kDiskBlockBytes; }
  platform::AsyncBlockIo& io() { return io_; }
  bool huge_pages() const { return huge_pages_; }

 private:
  platform::BudgetedBlock memory_;  // the blocks and the slack to align them to a huge page
  std::byte* blocks_;
  bool huge_pages_;
  platform::AsyncBlockIo io_;  // destroyed first: it waits for transfers into memory_
};

// Byte k mod 256 at every offset k of the block (offset 0 gets 0).
void FillDiskPattern(std::byte* block);

// Reserves the first file's room and writes the pattern into each of its blocks. A write that
// moves fewer bytes than a block is a full disk.
void WriteFirstFile(platform::DiskFile& first, DiskWorkspace& workspace,
                    const BlockBoundary& at_boundary);

// Copies the file `first_name` onto `second` with the kernel's copy and flushes it to the
// device. The outcome is not judged: a copy that went wrong leaves a second file that the
// verification finds different or short.
void CopyFirstFile(const std::string& first_name, platform::DiskFile& second,
                   const BlockBoundary& at_boundary);

// Reads both files from the device, block by block, and compares each block over all its
// bytes: true when every block agrees, false at the first that differs. Files that are not
// unbuffered (`mode`) have their cached pages dropped first. A read that delivers less than a
// block is a failure with the end-of-file cause.
bool VerifyFilePair(const std::string& first_name, const std::string& second_name,
                    platform::FileMode mode, DiskWorkspace& workspace,
                    const BlockBoundary& at_boundary);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_DISK_PAIR_H_
