// One pair of the disk test's files, in the test's three steps: the first file written by the
// worker around the system cache, the second file written as a copy of it (read from the
// device and written to it, never through the cache and never as shared extents), and both
// read back from the device, each block checked against the fill pattern and the two files
// compared block by block. The disk test (disk.h) names the files, decides how many pairs to
// make and reports; this unit moves the blocks.
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
// Blocks in flight at once while writing; while copying, two blocks read ahead while two are
// written; while verifying, the block being compared and the block ahead of it, of both
// files. Measured against fio: more blocks ahead make the verification slower on a virtual
// disk, not faster.
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

// The offset of the first byte of the block that is not the fill pattern's; kDiskBlockBytes
// when the whole block holds it.
size_t FindPatternMismatch(const std::byte* block);

// Reserves the first file's room and writes the pattern into each of its blocks. A write that
// moves fewer bytes than a block is a full disk.
void WriteFirstFile(platform::DiskFile& first, DiskWorkspace& workspace,
                    const BlockBoundary& at_boundary);

// Copies the written file `first` onto the empty file `second`: reserves its room, then reads
// each block of `first` from the device while the blocks before it are written to `second`
// (unbuffered and write-through where `second` is), and flushes `second`. A failed read or
// write, a read that delivers less than a block (the end of file) or a write that moves less
// (a full disk), the reservation and the flush are failures with their cause. Files that are
// not unbuffered have their cached pages dropped, so the verification reads the device.
void CopyFirstFile(platform::DiskFile& first, platform::DiskFile& second, DiskWorkspace& workspace,
                   const BlockBoundary& at_boundary);

// What the verification of a pair found.
struct PairVerdict {
  enum class Outcome {
    kAsWritten,     // every block of both files holds the fill pattern
    kNotAsWritten,  // `file` holds other data than the pattern at `byte`
    kInconsistent,  // the first file holds the pattern, but a block of the second differs
  };
  Outcome outcome = Outcome::kAsWritten;
  const platform::DiskFile* file = nullptr;
  uint64_t byte = 0;
};

// Reads both files from the device, block by block, and checks each block of both against the
// fill pattern, over all their bytes, up to the first block that does not hold what was written.
// Files that are not unbuffered have their cached pages dropped first. A read that delivers less
// than a block is a failure with the end-of-file cause.
PairVerdict VerifyFilePair(platform::DiskFile& first, platform::DiskFile& second,
                           DiskWorkspace& workspace, const BlockBoundary& at_boundary);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_DISK_PAIR_H_
