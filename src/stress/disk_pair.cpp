// How the device is kept busy: the first file's room is reserved, then its blocks are written
// kDiskSlots at a time in flight, each on the device when it completes (O_DIRECT|O_DSYNC);
// the copy is made by the kernel block by block, its write-back started as it goes; the
// verification keeps the next blocks of both files in flight while it compares the current
// ones, so the comparison costs no device time.
#include "stress/disk_pair.h"

#include <array>
#include <cstring>

#include "stress/file_exception.h"

namespace forgeval {
namespace {

constexpr size_t kBlocksBytes = 2 * kDiskSlots * kDiskBlockBytes;
static_assert(kBlocksBytes % platform::kHugePageBytes == 0);

std::byte* AlignedToHugePage(void* data) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(data);
  const uintptr_t mask = platform::kHugePageBytes - 1;
  return reinterpret_cast<std::byte*>((address + mask) & ~mask);
}

uint64_t BlockOffset(int k) { return static_cast<uint64_t>(k) * kDiskBlockBytes; }

size_t SlotOf(int k) { return static_cast<size_t>(k) % kDiskSlots; }

// Leaves every slot idle when a step ends, however it ends, so that the next step finds the
// transfers free and no transfer outlives the files it uses.
class IdleOnExit {
 public:
  explicit IdleOnExit(platform::AsyncBlockIo& io) : io_(io) {}
  IdleOnExit(const IdleOnExit&) = delete;
  IdleOnExit& operator=(const IdleOnExit&) = delete;
  ~IdleOnExit() { io_.FinishAll(); }

 private:
  platform::AsyncBlockIo& io_;
};

void CheckTransfer(const platform::AsyncBlockIo::Result& result, const std::string& file_name,
                   platform::FileCause short_cause) {
  ThrowIfFileError(result.error, file_name);
  if (result.bytes != kDiskBlockBytes) throw CFileException(short_cause, 0, file_name);
}

}  // namespace

DiskWorkspace::DiskWorkspace()
    : memory_(platform::AllocateBudgetedOrThrow(kBlocksBytes + platform::kHugePageBytes)),
      blocks_(AlignedToHugePage(memory_.data())),
      huge_pages_(platform::CollapseToHugePages(blocks_, kBlocksBytes)),
      io_(2 * kDiskSlots) {}

void FillDiskPattern(std::byte* block) {
  static constexpr std::array<std::byte, 256> kRow = [] {
    std::array<std::byte, 256> row{};
    for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<std::byte>(k);
    return row;
  }();
  for (size_t at = 0; at < kDiskBlockBytes; at += kRow.size()) {
    memcpy(block + at, kRow.data(), kRow.size());
  }
}

void WriteFirstFile(platform::DiskFile& first, DiskWorkspace& workspace,
                    const BlockBoundary& at_boundary) {
  const std::string& name = first.path();
  ThrowIfFileError(first.Reserve(kDiskFileBytes), name);
  platform::AsyncBlockIo& io = workspace.io();
  IdleOnExit idle(io);
  auto finish = [&](size_t slot) {
    if (io.busy(slot)) CheckTransfer(io.Finish(slot), name, platform::FileCause::kDiskFull);
  };
  for (int k = 0; k < kDiskBlocksPerFile; ++k) {
    at_boundary();
    finish(SlotOf(k));  // the slot's previous block
    std::byte* block = workspace.block(SlotOf(k));
    FillDiskPattern(block);
    io.StartWrite(SlotOf(k), first.fd(), block, kDiskBlockBytes, BlockOffset(k));
  }
  for (int k = kDiskBlocksPerFile - static_cast<int>(kDiskSlots); k < kDiskBlocksPerFile; ++k) {
    finish(SlotOf(k));
  }
}

void CopyFirstFile(const std::string& first_name, platform::DiskFile& second,
                   const BlockBoundary& at_boundary) {
  platform::DiskFile source;
  if (source.OpenForReading(first_name, platform::FileMode::kCached) != 0) return;
  for (int k = 0; k < kDiskBlocksPerFile; ++k) {
    at_boundary();
    size_t copied = 0;
    if (second.CopyFrom(source, BlockOffset(k), kDiskBlockBytes, &copied) != 0) break;
    if (copied != kDiskBlockBytes) break;
  }
  second.Flush();
  // The verification reads the device; the cached copies would only crowd the machine.
  second.DropCachedPages();
  source.DropCachedPages();
}

bool VerifyFilePair(const std::string& first_name, const std::string& second_name,
                    platform::FileMode mode, DiskWorkspace& workspace,
                    const BlockBoundary& at_boundary) {
  platform::DiskFile first;
  platform::DiskFile second;
  ThrowIfFileError(first.OpenForReading(first_name, mode), first_name);
  ThrowIfFileError(second.OpenForReading(second_name, mode), second_name);
  if (mode != platform::FileMode::kUnbuffered) {
    first.DropCachedPages();
    second.DropCachedPages();
  }
  {
    // Slot 2s reads the first file and slot 2s + 1 the second, for the blocks k with
    // SlotOf(k) == s.
    platform::AsyncBlockIo& io = workspace.io();
    IdleOnExit idle(io);
    auto start = [&](int k) {
      const size_t slot = 2 * SlotOf(k);
      io.StartRead(slot, first.fd(), workspace.block(slot), kDiskBlockBytes, BlockOffset(k));
      io.StartRead(slot + 1, second.fd(), workspace.block(slot + 1), kDiskBlockBytes,
                   BlockOffset(k));
    };
    for (int k = 0; k < static_cast<int>(kDiskSlots) && k < kDiskBlocksPerFile; ++k) start(k);
    for (int k = 0; k < kDiskBlocksPerFile; ++k) {
      at_boundary();
      const size_t slot = 2 * SlotOf(k);
      CheckTransfer(io.Finish(slot), first_name, platform::FileCause::kEndOfFile);
      CheckTransfer(io.Finish(slot + 1), second_name, platform::FileCause::kEndOfFile);
      if (memcmp(workspace.block(slot), workspace.block(slot + 1), kDiskBlockBytes) != 0) {
        return false;
      }
      if (k + static_cast<int>(kDiskSlots) < kDiskBlocksPerFile) {
        start(k + static_cast<int>(kDiskSlots));
      }
    }
  }
  ThrowIfFileError(first.Close(), first_name);
  ThrowIfFileError(second.Close(), second_name);
  return true;
}

}  // namespace forgeval
