// The asynchronous reads use the kernel's native interface (io_setup, io_submit,
// io_getevents) through raw system calls: with O_DIRECT it queues the reads at the device
// and returns at once, which is all the reader needs, and it needs no library.
#include "platform/disk_io.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/disk_faults.h"
#include "platform/process.h"

namespace forgeval::platform {
namespace {

constexpr const char* kProbeName = "~temp.tmp";
constexpr const char* kUniqueSuffix = "XXXXXX.TMP";
constexpr int kSuffixLength = 4;  // ".TMP"
constexpr const char* kMarkName = "user.forgeval";
constexpr char kMarkValue[] = "disk test file";

// True for "mXXXXXX.TMP" and "nXXXXXX.TMP", the names CreateUnique gives (mkostemps draws the
// six characters from letters and digits).
bool IsTestFileName(const char* name) {
  if ((name[0] != 'm' && name[0] != 'n') || strlen(name) != 11 || strcmp(name + 7, ".TMP") != 0) {
    return false;
  }
  for (int i = 1; i < 7; ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

bool HasMark(int fd) {
  char value[sizeof kMarkValue] = {};
  return fgetxattr(fd, kMarkName, value, sizeof value) == sizeof kMarkValue - 1 &&
         memcmp(value, kMarkValue, sizeof kMarkValue - 1) == 0;
}

int Flock(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// The planted fault of `operation` when it fires now with `effect`.
bool Fires(const std::optional<DiskFault>& fault, DiskFaultEffect effect) {
  return fault && fault->effect == effect;
}

long IoSetup(unsigned events, aio_context_t* context) {
  return syscall(SYS_io_setup, events, context);
}
long IoSubmit(aio_context_t context, long count, iocb** requests) {
  return syscall(SYS_io_submit, context, count, requests);
}
long IoGetEvents(aio_context_t context, long min, long max, io_event* events) {
  return syscall(SYS_io_getevents, context, min, max, events, nullptr);
}
long IoDestroy(aio_context_t context) { return syscall(SYS_io_destroy, context); }

}  // namespace

std::string DriveRoot(std::string_view entry) {
  std::string root = NativePath(std::string(entry));
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + '/';
}

bool CollapseToHugePages(void* data, size_t bytes) {
#ifndef MADV_COLLAPSE
  constexpr int MADV_COLLAPSE = 25;  // Linux 6.1
#endif
  if (reinterpret_cast<uintptr_t>(data) % kHugePageBytes != 0) return false;
  return madvise(data, bytes, MADV_HUGEPAGE) == 0 && madvise(data, bytes, MADV_COLLAPSE) == 0;
}

bool ProbeFolderWritable(const std::string& root) {
  const std::string path = root + kProbeName;
  for (int attempt = 0; attempt < 3; ++attempt) {
    UniqueFd fd(open(path.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                     0600));
    if (fd.valid()) {
      // Another worker probing the same folder may have replaced the file already.
      unlink(path.c_str());
      return true;
    }
    if (errno != EEXIST) return false;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;  // gone meanwhile: try again
    if (!S_ISREG(info.st_mode)) return false;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  }
  return false;
}

std::optional<uint64_t> FreeBytesAvailable(const std::string& root) {
  if (Fires(TakeDiskFault(DiskOperation::kFreeSpace), DiskFaultEffect::kFail)) return std::nullopt;
  struct statvfs info;
  if (statvfs(root.c_str(), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

int RemoveFile(const std::string& path) {
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kRemove);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  return unlink(path.c_str()) == 0 ? 0 : errno;
}

std::vector<LeftoverFile> RemoveLeftoverFiles(const std::string& root) {
  std::vector<LeftoverFile> removed;
  DIR* folder = opendir(root.c_str());
  if (folder == nullptr) return removed;
  while (const dirent* entry = readdir(folder)) {
    if (!IsTestFileName(entry->d_name)) continue;
    const std::string path = root + entry->d_name;
    // Never follows a link, never waits on a pipe, never touches what is no ordinary file.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat opened, named;
    if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    // A live run holds its files locked; its creator locks a file before marking it, so a
    // marked file that can be locked belongs to no live run.
    if (Flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !HasMark(fd.get())) continue;
    // The name must still be the file that was checked.
    if (lstat(path.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
        named.st_dev != opened.st_dev || unlink(path.c_str()) != 0) {
      continue;
    }
    removed.push_back({path, static_cast<uint64_t>(opened.st_size)});
  }
  closedir(folder);
  return removed;
}

void RaiseOpenFileLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int DiskFile::CreateUnique(const std::string& root, char prefix, FileMode mode) {
  fd_ = UniqueFd();
  path_ = root + prefix + kUniqueSuffix;
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kCreate);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  std::vector<char> name(path_.begin(), path_.end());
  name.push_back('\0');
  // O_DSYNC only takes effect when given at open; O_DIRECT is asked for afterwards, so that
  // a filesystem refusing it leaves no half-made file behind (its open would create the
  // file first and then fail).
  const int sync = mode == FileMode::kCached ? 0 : O_DSYNC;
  int fd = mkostemps(name.data(), kSuffixLength, sync | O_CLOEXEC);
  if (fd < 0) return errno;
  fd_ = UniqueFd(fd);
  path_ = name.data();
  mode_ = mode;
  // Locked before it is marked: a marked file that another instance can lock is a leftover.
  // A filesystem without locks or marks keeps the file unmarked, never taken for a leftover.
  if (Flock(fd, LOCK_EX) == 0) fsetxattr(fd, kMarkName, kMarkValue, sizeof kMarkValue - 1, 0);
  if (mode == FileMode::kUnbuffered) {
    const bool refused = Fires(TakeDiskFault(DiskOperation::kDirectIo), DiskFaultEffect::kFail);
    const int flags = fcntl(fd, F_GETFL);
    if (refused || flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
      mode_ = FileMode::kWriteThrough;
    }
  }
  return 0;
}

void DiskFile::Unmark() { fremovexattr(fd_.get(), kMarkName); }

int DiskFile::OpenForReading(const std::string& path, FileMode mode) {
  path_ = path;
  mode_ = mode == FileMode::kUnbuffered ? mode : FileMode::kCached;
  const int direct = mode == FileMode::kUnbuffered ? O_DIRECT : 0;
  fd_ = UniqueFd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | direct));
  return fd_.valid() ? 0 : errno;
}

int DiskFile::Reserve(uint64_t bytes) {
  int result;
  do {
    result = fallocate(fd_.get(), 0, 0, static_cast<off_t>(bytes));
  } while (result != 0 && errno == EINTR);
  if (result == 0 || errno == EOPNOTSUPP) return 0;
  return errno;
}

int DiskFile::Flush() {
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kFlush);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  return fdatasync(fd_.get()) == 0 ? 0 : errno;
}

void DiskFile::DropCachedPages() { posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_DONTNEED); }

int DiskFile::Close() {
  // The descriptor is gone after close whatever it returns, EINTR included.
  return close(fd_.Release()) == 0 ? 0 : errno;
}

struct AsyncBlockIo::Transfer {
  enum class State { kIdle, kInFlight, kDeferred, kDone };
  iocb request{};
  DiskOperation counted_as = DiskOperation::kRead;
  State state = State::kIdle;
  int64_t result = 0;  // bytes moved, or minus the errno value
};

AsyncBlockIo::AsyncBlockIo(size_t slots) : transfers_(slots) {
  aio_context_t context = 0;
  if (!Fires(TakeDiskFault(DiskOperation::kAsyncIo), DiskFaultEffect::kFail) &&
      IoSetup(static_cast<unsigned>(slots), &context) == 0) {
    context_ = context;
  }
}

AsyncBlockIo::~AsyncBlockIo() {
  FinishAll();
  if (context_ != 0) IoDestroy(context_);
}

void AsyncBlockIo::FinishAll() {
  for (Transfer& transfer : transfers_) {
    // A transfer that never reached the kernel is dropped without being made.
    if (transfer.state == Transfer::State::kInFlight) Await(transfer);
    transfer.state = Transfer::State::kIdle;
  }
}

bool AsyncBlockIo::busy(size_t slot) const {
  return transfers_[slot].state != Transfer::State::kIdle;
}

void AsyncBlockIo::StartRead(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                             DiskOperation counted_as) {
  Start(slot, IOCB_CMD_PREAD, fd, buffer, bytes, offset, counted_as);
}

void AsyncBlockIo::StartWrite(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                              DiskOperation counted_as) {
  std::optional<DiskFault> fault = TakeDiskFault(counted_as);
  // The block reaches the device with one byte changed, as from a bad cable or cell.
  if (Fires(fault, DiskFaultEffect::kCorrupt)) buffer[bytes / 2] ^= std::byte{0x5A};
  if (Fires(fault, DiskFaultEffect::kFail)) {
    Transfer& transfer = transfers_[slot];
    transfer.request = iocb{};
    transfer.request.aio_lio_opcode = IOCB_CMD_PWRITE;
    transfer.result = -fault->error;
    transfer.state = Transfer::State::kDone;
    return;
  }
  if (Fires(fault, DiskFaultEffect::kShort)) bytes /= 2;
  Start(slot, IOCB_CMD_PWRITE, fd, buffer, bytes, offset, counted_as);
}

void AsyncBlockIo::Start(size_t slot, uint16_t opcode, int fd, const std::byte* buffer,
                         size_t bytes, uint64_t offset, DiskOperation counted_as) {
  Transfer& transfer = transfers_[slot];
  transfer.request = iocb{};
  transfer.counted_as = counted_as;
  transfer.request.aio_data = reinterpret_cast<uintptr_t>(&transfer);
  transfer.request.aio_lio_opcode = opcode;
  transfer.request.aio_fildes = static_cast<uint32_t>(fd);
  transfer.request.aio_buf = reinterpret_cast<uintptr_t>(buffer);
  transfer.request.aio_nbytes = bytes;
  transfer.request.aio_offset = static_cast<int64_t>(offset);
  transfer.state = Transfer::State::kDeferred;
  if (context_ == 0) return;
  iocb* request = &transfer.request;
  long submitted;
  do {
    submitted = IoSubmit(context_, 1, &request);
  } while (submitted < 0 && errno == EINTR);
  // A request the kernel does not take is made synchronously when its slot is finished.
  if (submitted == 1) transfer.state = Transfer::State::kInFlight;
}

void AsyncBlockIo::Await(Transfer& transfer) {
  if (transfer.state == Transfer::State::kDeferred) {
    const iocb& request = transfer.request;
    void* buffer = reinterpret_cast<void*>(request.aio_buf);
    const int fd = static_cast<int>(request.aio_fildes);
    const off_t offset = static_cast<off_t>(request.aio_offset);
    ssize_t done;
    do {
      done = request.aio_lio_opcode == IOCB_CMD_PREAD
                 ? pread(fd, buffer, request.aio_nbytes, offset)
                 : pwrite(fd, buffer, request.aio_nbytes, offset);
    } while (done < 0 && errno == EINTR);
    transfer.result = done >= 0 ? done : -errno;
    transfer.state = Transfer::State::kDone;
    return;
  }
  while (transfer.state == Transfer::State::kInFlight) {
    io_event events[8];
    long got = IoGetEvents(context_, 1, 8, events);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      // The context is unusable; what is still queued in it ends when it is destroyed.
      transfer.result = -errno;
      transfer.state = Transfer::State::kDone;
      return;
    }
    for (long i = 0; i < got; ++i) {
      Transfer* done = reinterpret_cast<Transfer*>(events[i].data);
      done->result = events[i].res;
      done->state = Transfer::State::kDone;
    }
  }
}

AsyncBlockIo::Result AsyncBlockIo::Finish(size_t slot) {
  Transfer& transfer = transfers_[slot];
  Await(transfer);
  transfer.state = Transfer::State::kIdle;
  int64_t result = transfer.result;
  if (transfer.request.aio_lio_opcode == IOCB_CMD_PREAD) {
    std::optional<DiskFault> fault = TakeDiskFault(transfer.counted_as);
    std::byte* data = reinterpret_cast<std::byte*>(transfer.request.aio_buf);
    if (Fires(fault, DiskFaultEffect::kFail)) result = -fault->error;
    if (Fires(fault, DiskFaultEffect::kShort) && result > 0) result /= 2;
    if (Fires(fault, DiskFaultEffect::kCorrupt) && result > 0) {
      data[result / 2] ^= std::byte{0x5A};
    }
  }
  if (result < 0) return Result{0, static_cast<int>(-result)};
  return Result{static_cast<size_t>(result), 0};
}

}  // namespace forgeval::platform
