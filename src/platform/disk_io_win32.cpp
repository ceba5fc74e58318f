// SCAFFOLD: to be replaced by the Windows disk service.
#include <cerrno>

#include "platform/disk_io.h"

namespace forgeval::platform {

struct AsyncBlockIo::Transfer {
  bool busy = false;
  Result result{0, 0};
};

bool CollapseToHugePages(void*, size_t) { return false; }
bool ProbeFolderWritable(const std::string&) { return false; }
std::optional<uint64_t> FreeBytesAvailable(const std::string&) { return std::nullopt; }
int RemoveFile(const std::string&) { return ENOSYS; }
std::vector<LeftoverFile> RemoveLeftoverFiles(const std::string&) { return {}; }
void RaiseOpenFileLimit() {}
int DiskFile::CreateUnique(const std::string&, char, FileMode) { return ENOSYS; }
void DiskFile::Unmark() {}
int DiskFile::OpenForReading(const std::string&, FileMode) { return ENOSYS; }
int DiskFile::Reserve(uint64_t) { return ENOSYS; }
int DiskFile::Flush() { return ENOSYS; }
void DiskFile::DropCachedPages() {}
int DiskFile::Close() { return 0; }
AsyncBlockIo::AsyncBlockIo(size_t slots) : transfers_(slots) {}
AsyncBlockIo::~AsyncBlockIo() = default;
void AsyncBlockIo::StartRead(size_t slot, int, std::byte*, size_t, uint64_t, DiskOperation) {
  transfers_[slot].result = {0, ENOSYS};
}
void AsyncBlockIo::StartWrite(size_t slot, int, std::byte*, size_t, uint64_t, DiskOperation) {
  transfers_[slot].result = {0, ENOSYS};
}
AsyncBlockIo::Result AsyncBlockIo::Finish(size_t slot) { return transfers_[slot].result; }
void AsyncBlockIo::FinishAll() {}
bool AsyncBlockIo::busy(size_t) const { return false; }

}  // namespace forgeval::platform
