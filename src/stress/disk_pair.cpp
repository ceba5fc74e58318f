// How the device is kept busy: the first file's room is reserved, then its blocks are written
// kDiskSlots at a time in flight, each on the device when it completes (O_DIRECT|O_DSYNC);
// the copy reserves the second file's room and keeps kDiskSlots reads of the first file
// ahead of the kDiskSlots writes of the second in flight, all around the cache, so that
// reading and writing overlap (a copy through the page cache ran at a quarter of the
// device's write rate); the verification keeps the next blocks of both files in flight while
// it checks the current ones, so the checks cost no device time. The check compares each
// block of both files with one page of the pattern that stays in the processor's first-level
// cache, so it reads each block once, as a comparison of the two files with each other would.
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

// One page of the fill pattern: byte k is k mod 256.
alignas(64) static constexpr std::array<std::byte, 4096> kPatternPage = [] {
  std::array<std::byte, 4096> page{};
  for (size_t k = 0; k < page.size(); ++k) page[k] = static_cast<std::byte>(k % 256);
  return page;
}();
static_assert(kDiskBlockBytes % kPatternPage.size() == 0);

void FillDiskPattern(std::byte* block) {
  for (size_t at = 0; at < kDiskBlockBytes; at += kPatternPage.size()) {
    memcpy(block + at, kPatternPage.data(), kPatternPage.size());
  }
}

size_t FindPatternMismatch(const std::byte* block) {
  for (size_t at = 0; at < kDiskBlockBytes; at += kPatternPage.size()) {
    if (memcmp(block + at, kPatternPage.data(), kPatternPage.size()) == 0) continue;
    size_t k = at;
    while (block[k] == kPatternPage[k - at]) ++k;
    return k;
  }
  return kDiskBlockBytes;
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

void CopyFirstFile(platform::DiskFile& first, platform::DiskFile& second, DiskWorkspace& workspace,
                   const BlockBoundary& at_boundary) {
  using platform::DiskOperation;
  ThrowIfFileError(second.Reserve(kDiskFileBytes), second.path());
  if (first.mode() != platform::FileMode::kUnbuffered) first.DropCachedPages();
  {
    // Block k goes through slot k % (2 * kDiskSlots): read into its block, then written from
    // it; the slot is free again for block k + 2 * kDiskSlots once that write has finished.
    constexpr int kRing = 2 * static_cast<int>(kDiskSlots);
    constexpr int kAhead = static_cast<int>(kDiskSlots);
    platform::AsyncBlockIo& io = workspace.io();
    IdleOnExit idle(io);
    auto slot_of = [](int k) { return static_cast<size_t>(k % kRing); };
    auto finish_write = [&](size_t slot) {
      if (io.busy(slot)) {
        CheckTransfer(io.Finish(slot), second.path(), platform::FileCause::kDiskFull);
      }
    };
    auto start_read = [&](int k) {
      finish_write(slot_of(k));  // block k - kRing
      io.StartRead(slot_of(k), first.fd(), workspace.block(slot_of(k)), kDiskBlockBytes,
                   BlockOffset(k), DiskOperation::kCopyRead);
    };
    for (int k = 0; k < kAhead; ++k) start_read(k);
    for (int k = 0; k < kDiskBlocksPerFile; ++k) {
      at_boundary();
      const size_t slot = slot_of(k);
      CheckTransfer(io.Finish(slot), first.path(), platform::FileCause::kEndOfFile);
      io.StartWrite(slot, second.fd(), workspace.block(slot), kDiskBlockBytes, BlockOffset(k),
                    DiskOperation::kCopy);
      if (k + kAhead < kDiskBlocksPerFile) start_read(k + kAhead);
    }
    for (int k = 0; k < kRing; ++k) finish_write(static_cast<size_t>(k));
  }
  ThrowIfFileError(second.Flush(), second.path());
  // The verification reads the device; cached copies would only crowd the machine.
  if (second.mode() != platform::FileMode::kUnbuffered) second.DropCachedPages();
  if (first.mode() != platform::FileMode::kUnbuffered) first.DropCachedPages();
}

PairVerdict VerifyFilePair(platform::DiskFile& first, platform::DiskFile& second,
                           DiskWorkspace& workspace, const BlockBoundary& at_boundary) {
  for (platform::DiskFile* file : {&first, &second}) {
    if (file->mode() != platform::FileMode::kUnbuffered) file->DropCachedPages();
  }
  // Slot 2s reads the first file and slot 2s + 1 the second, for the blocks k with
  // SlotOf(k) == s.
  platform::AsyncBlockIo& io = workspace.io();
  IdleOnExit idle(io);
  auto start = [&](int k) {
    const size_t slot = 2 * SlotOf(k);
    io.StartRead(slot, first.fd(), workspace.block(slot), kDiskBlockBytes, BlockOffset(k));
    io.StartRead(slot + 1, second.fd(), workspace.block(slot + 1), kDiskBlockBytes, BlockOffset(k));
  };
  for (int k = 0; k < static_cast<int>(kDiskSlots) && k < kDiskBlocksPerFile; ++k) start(k);
  for (int k = 0; k < kDiskBlocksPerFile; ++k) {
    at_boundary();
    const size_t slot = 2 * SlotOf(k);
    CheckTransfer(io.Finish(slot), first.path(), platform::FileCause::kEndOfFile);
    CheckTransfer(io.Finish(slot + 1), second.path(), platform::FileCause::kEndOfFile);
    // Both against the pattern: a first file that holds it and a second that does not
    // differ, which is the side-by-side comparison's finding. Each block is read once, as by
    // a comparison of the two, and the pattern's page stays in the first-level cache.
    if (const size_t at = FindPatternMismatch(workspace.block(slot)); at < kDiskBlockBytes) {
      return {PairVerdict::Outcome::kNotAsWritten, &first, BlockOffset(k) + at};
    }
    if (FindPatternMismatch(workspace.block(slot + 1)) < kDiskBlockBytes) {
      return {PairVerdict::Outcome::kInconsistent, &second, BlockOffset(k)};
    }
    if (k + static_cast<int>(kDiskSlots) < kDiskBlocksPerFile) {
      start(k + static_cast<int>(kDiskSlots));
    }
  }
  return {};
}

}  // namespace forgeval
