// The disk test's file operations: files written and read around the system file cache, so
// that every block really travels to and from the device; unique temporary names, marked as
// the program's own and locked while in use; the removal of such files that a killed run
// left; the free space of a folder; and transfers that keep the next blocks in flight while
// the caller fills, copies or compares others.
//
// Unbuffered files are opened with O_DIRECT and O_DSYNC: every write is on the device when it
// returns, every read comes from the device. O_DIRECT demands that buffers, lengths and
// offsets be multiples of kDirectIoAlignment. On a filesystem that refuses O_DIRECT (EINVAL)
// files are written with O_DSYNC alone, and their cached pages are dropped before they are
// read back, which sends those reads to the device too.
//
// On Windows the same files are opened with CreateFileA: FILE_FLAG_NO_BUFFERING |
// FILE_FLAG_WRITE_THROUGH (unbuffered), FILE_FLAG_WRITE_THROUGH (write-through), and always
// FILE_FLAG_OVERLAPPED. Windows refuses a misaligned transfer on an unbuffered file; Wine does
// not, so AsyncBlockIo itself refuses one (EINVAL) on every Windows, before it is made.
//
// Files are created under unique names that never follow a symbolic link and never replace
// an existing file (mkostemps, O_EXCL; on Windows the names of GetTempFileNameA made with
// CREATE_NEW), since the program often runs as root in shared folders.
//
// A test file carries the extended attribute "user.forgeval" (its mark: the program made
// it) and is held under an exclusive advisory lock (flock) from its creation until its
// descriptor is closed, so that another instance tells the files of a live run (locked) from
// those a killed run left (marked, unlocked) and from an operator's files (unmarked). A
// filesystem without user extended attributes keeps its files unmarked: they are never
// removed as leftovers. On Windows the mark is the named stream "<file>:forgeval" (NTFS and
// ReFS keep named streams; Wine and FAT volumes do not, and their files stay unmarked), and the
// lock is the sharing: a live file is shared for deletion only, so another instance cannot
// open it at all.
//
// Every operation returns 0 or an errno value and writes nothing else; the caller decides
// what a failure means. The faults of disk_faults.h are planted here.
#ifndef FORGEVAL_PLATFORM_DISK_IO_H_
#define FORGEVAL_PLATFORM_DISK_IO_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disk_faults.h"
#include "platform/files.h"

namespace forgeval::platform {

inline constexpr size_t kDirectIoAlignment = 4096;

// The size and alignment of a huge page.
inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Backs [data, data + bytes), aligned to kHugePageBytes, with huge pages at once
// (MADV_HUGEPAGE, then MADV_COLLAPSE). A 1 MiB block in small pages is scattered over 256
// physical pages, more segments than a virtio disk takes in one request, and a host that
// handles each segment on its own is several times slower with them; a block inside a huge
// page is one segment. False where the kernel cannot: the range then stays in small pages,
// slower but equally correct.
bool CollapseToHugePages(void* data, size_t bytes);

enum class FileMode {
  kUnbuffered,    // O_DIRECT | O_DSYNC
  kWriteThrough,  // O_DSYNC: where the filesystem refuses O_DIRECT
  kCached,        // ordinary cached I/O, flushed to the device explicitly (the copy's target)
};

// The folder a "Drive" entry names, as the disk worker's root: ending in one separator, so
// that a file's path is the root and its name. Linux: the entry is a folder (usually a mount
// point), backslashes read as '/', with exactly one trailing '/'. Windows: a drive letter
// ("C", "C:" or "C:\") gives its root "C:\"; a folder ("D:\burn-in", "D:/burn-in/") keeps
// working, with backslashes and one trailing '\'.
std::string DriveRoot(std::string_view entry);

// True when a file can be created in the folder `root` (which ends in a separator): creates
// "<root>~temp.tmp" without following a symbolic link and removes it at once. An ordinary
// file of that name, left by an earlier probe, is replaced (unlinked, never written); a
// symbolic link or anything else of that name makes the probe fail untouched.
bool ProbeFolderWritable(const std::string& root);

// Bytes of the folder's filesystem available to the calling user (f_bavail * f_frsize;
// GetDiskFreeSpaceExA's bytes available to the caller); nothing when the query fails.
std::optional<uint64_t> FreeBytesAvailable(const std::string& root);

// Deletes the file `path` (never what a symbolic link there points to). 0 or errno.
int RemoveFile(const std::string& path);

// A file removed by RemoveLeftoverFiles.
struct LeftoverFile {
  std::string path;
  uint64_t bytes;
};

// Removes the test files "<root>mXXXXXX.TMP" and "<root>nXXXXXX.TMP" (Windows: "mXXXX.TMP")
// that carry the mark and
// that no open descriptor holds locked (a killed run's), and returns them. Files of a live
// run, files without the mark and anything that is not an ordinary file stay untouched.
std::vector<LeftoverFile> RemoveLeftoverFiles(const std::string& root);

// Raises this process's soft limit on open descriptors to its hard limit: a disk worker
// holds both files of every pair open (and locked) until it deletes them. Nothing on
// Windows, whose C runtime grows its table on demand.
void RaiseOpenFileLimit();

// One file of the disk test: an open descriptor and the file's full path. Closed when the
// object goes away (errors of that close are not reported; call Close to see them).
class DiskFile {
 public:
  DiskFile() = default;
  DiskFile(DiskFile&&) = default;
  DiskFile& operator=(DiskFile&&) = default;

  // Makes a new, empty file "<root><prefix>XXXXXX.TMP" (Windows: "<root><prefix>XXXX.TMP",
  // up to four hexadecimal digits, as GetTempFileNameA forms it) under a unique name, locked and
  // then marked, and opens it for reading and writing in `mode`; kUnbuffered becomes kWriteThrough
  // where the filesystem refuses O_DIRECT (see mode()). On failure path() is the name that was
  // asked for.
  int CreateUnique(const std::string& root, char prefix, FileMode mode);

  // Removes the mark, so that no later run takes the file for a leftover: for the files a
  // worker keeps for the operator after an error.
  void Unmark();

  // Opens the existing file `path` for reading: O_DIRECT in kUnbuffered mode, else cached.
  int OpenForReading(const std::string& path, FileMode mode);

  // Reserves `bytes` of the device for the file from its start (fallocate; Windows:
  // FileAllocationInfo, which Wine lacks), so that the
  // writes that follow need not extend it and can be in flight together. A filesystem that
  // cannot reserve ahead is not an error; a full one is (ENOSPC).
  int Reserve(uint64_t bytes);

  // Waits until everything written to the file is on the device (fdatasync,
  // FlushFileBuffers). Counted as the
  // planted operation kFlush.
  int Flush();

  // Drops the file's clean pages from the system cache, so the next read comes from the
  // device. Windows has no such call for an open file: nothing there.
  void DropCachedPages();

  int Close();

  // The mode the file was opened in.
  FileMode mode() const { return mode_; }
  bool is_open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  UniqueFd fd_;
  std::string path_;
  FileMode mode_ = FileMode::kCached;
};

// Block transfers kept in flight with the kernel's asynchronous I/O (Linux: io_submit;
// Windows: ReadFile and WriteFile with an OVERLAPPED record and event per slot), so that the device
// works on the next blocks while the caller fills or compares others. Each transfer goes through a
// numbered slot: started, then finished, and only then started again. Where the kernel's
// asynchronous I/O is unavailable or refuses a request, that transfer is made synchronously
// when its slot is finished, with the same result. Buffers, lengths and offsets follow the
// file's demands (kDirectIoAlignment for unbuffered files); a buffer belongs to its transfer
// until the slot is finished or the object destroyed.
class AsyncBlockIo {
 public:
  struct Result {
    size_t bytes;  // what the transfer moved
    int error;     // 0 or its errno value
  };

  // Sets up the kernel's context once; keep the object for many transfers, since tearing a
  // context down waits for the kernel (tens of milliseconds).
  explicit AsyncBlockIo(size_t slots);
  AsyncBlockIo(const AsyncBlockIo&) = delete;
  AsyncBlockIo& operator=(const AsyncBlockIo&) = delete;
  // Waits for every transfer still in flight.
  ~AsyncBlockIo();

  // Starts reading `bytes` at `offset` of `fd` into `buffer` through the idle slot `slot`;
  // counted as the planted operation `counted_as` when it is finished.
  void StartRead(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                 DiskOperation counted_as = DiskOperation::kRead);
  // Starts writing `bytes` from `buffer` at `offset` of `fd` through the idle slot `slot`;
  // counted as the planted operation `counted_as` (a kCorrupt changes a byte of `buffer`).
  void StartWrite(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                  DiskOperation counted_as = DiskOperation::kWrite);
  // Waits for the transfer of `slot`; the slot is idle afterwards.
  Result Finish(size_t slot);
  // Waits for every transfer still in flight and drops their results: all slots are idle.
  void FinishAll();
  bool busy(size_t slot) const;

 private:
  struct Transfer;
  void Start(size_t slot, uint16_t opcode, int fd, const std::byte* buffer, size_t bytes,
             uint64_t offset, DiskOperation counted_as);
  void Await(Transfer& transfer);

  std::vector<Transfer> transfers_;
  unsigned long context_ = 0;  // the kernel's asynchronous I/O context; 0 when there is none
};

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_DISK_IO_H_
