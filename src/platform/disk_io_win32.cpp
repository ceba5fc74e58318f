// The disk test's files on Windows: CreateFileA with FILE_FLAG_NO_BUFFERING and
// FILE_FLAG_WRITE_THROUGH, every file opened for overlapped I/O (FILE_FLAG_OVERLAPPED), and
// the transfers kept in flight with ReadFile and WriteFile on an OVERLAPPED record per slot.
// A file's descriptor is the C runtime's (_open_osfhandle), as the shared code expects.
//
// Unique names come from GetTempFileNameA ("<root>mXXXX.TMP", four hexadecimal digits), asked
// for a number of our choosing so that it only forms the name; the file is then made with
// CREATE_NEW, which never opens what is already there (a link included), so nothing is
// followed or replaced, and it is opened with the sharing and the flags it keeps from the
// start. A live run's file is shared for deletion only: another instance cannot open it at
// all (a sharing violation), which is how it tells a live run's files from a killed run's.
//
// The mark of the program's own files is a named stream "<file>:forgeval" holding
// "disk test file", on volumes that have named streams (NTFS, ReFS); files on other volumes
// stay unmarked and are never removed as leftovers. Wine has no named streams.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/disk_faults.h"
#include "platform/disk_io.h"
#include "platform/process.h"
#include "platform/win32_error.h"

namespace forgeval::platform {
namespace {

constexpr const char* kProbeName = "~temp.tmp";
constexpr const char* kMarkStream = ":forgeval";
constexpr char kMarkValue[] = "disk test file";

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// True for "mXXXX.TMP" and "nXXXX.TMP" (one to four hexadecimal digits, as GetTempFileNameA
// forms them; any case, as the filesystem compares names).
bool IsTestFileName(const char* name) {
  const size_t length = strlen(name);
  if ((name[0] != 'm' && name[0] != 'n') || length < 6 || length > 9 ||
      _stricmp(name + length - 4, ".TMP") != 0) {
    return false;
  }
  for (size_t i = 1; i < length - 4; ++i) {
    if (!isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool Fires(const std::optional<DiskFault>& fault, DiskFaultEffect effect) {
  return fault && fault->effect == effect;
}

// True when the volume of the open file keeps named streams, where the mark lives.
bool HasNamedStreams(HANDLE file) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_NAMED_STREAMS) != 0;
}

bool HasMark(HANDLE file, const std::string& path) {
  if (!HasNamedStreams(file)) return false;
  HANDLE stream = CreateFileA((path + kMarkStream).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return false;
  char value[sizeof kMarkValue] = {};
  DWORD got = 0;
  const bool marked = ReadFile(stream, value, sizeof value, &got, nullptr) &&
                      got == sizeof kMarkValue - 1 &&
                      memcmp(value, kMarkValue, sizeof kMarkValue - 1) == 0;
  CloseHandle(stream);
  return marked;
}

void Mark(HANDLE file, const std::string& path) {
  if (!HasNamedStreams(file)) return;
  HANDLE stream = CreateFileA((path + kMarkStream).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (stream == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(stream, kMarkValue, sizeof kMarkValue - 1, &written, nullptr);
  CloseHandle(stream);
}

// True when `file` was opened with FILE_FLAG_NO_BUFFERING (the system's own record of it), or
// when that cannot be told: its transfers must then keep the sector alignment.
bool IsUnbuffered(HANDLE file) {
  using Query = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);
  static const Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  IO_STATUS_BLOCK status;
  ULONG mode = 0;
  if (query == nullptr || query(file, &status, &mode, sizeof mode, FileModeInformation) < 0) {
    return true;
  }
  return (mode & FILE_NO_INTERMEDIATE_BUFFERING) != 0;
}

// A number to start the search for a free name at, different in each call and process, so
// that workers in one folder rarely try the same names.
unsigned NextUniqueStart() {
  static std::atomic<unsigned> calls{0};
  return (GetTickCount() ^ (GetCurrentProcessId() << 8)) + 7919 * calls++;
}

}  // namespace

std::string DriveRoot(std::string_view entry) {
  std::string root = NativePath(std::string(entry));
  while (!root.empty() && root.back() == '\\') root.pop_back();
  // "C" names the drive as "C:" does.
  if (root.size() == 1 && isalpha(static_cast<unsigned char>(root[0]))) root += ':';
  return root + '\\';
}

bool CollapseToHugePages(void*, size_t) {
  // Large pages need a privilege that a burn-in account seldom holds; a 1 MiB block of small
  // pages is equally correct.
  return false;
}

bool ProbeFolderWritable(const std::string& root) {
  const std::string path = root + kProbeName;
  for (int attempt = 0; attempt < 3; ++attempt) {
    HANDLE handle = CreateFileA(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);  // which deletes it
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    // An earlier probe's file is replaced; a link, a folder or anything else of that name
    // makes the probe fail untouched.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;  // gone meanwhile: try again
    if ((attributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return false;
    }
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  return false;
}

std::optional<uint64_t> FreeBytesAvailable(const std::string& root) {
  if (Fires(TakeDiskFault(DiskOperation::kFreeSpace), DiskFaultEffect::kFail)) return std::nullopt;
  ULARGE_INTEGER available, total, free;
  if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) return std::nullopt;
  return available.QuadPart;
}

int RemoveFile(const std::string& path) {
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kRemove);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  // DeleteFileA removes a link itself, never what it points to.
  return DeleteFileA(path.c_str()) ? 0 : LastErrno();
}

std::vector<LeftoverFile> RemoveLeftoverFiles(const std::string& root) {
  std::vector<LeftoverFile> removed;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((root + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return removed;
  do {
    if (!IsTestFileName(entry.cFileName)) continue;
    const std::string path = root + entry.cFileName;
    // Opened as itself (never through a link) and for deletion, with no sharing: a live run's
    // file, shared for deletion only, refuses this open.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    BY_HANDLE_FILE_INFORMATION info;
    FILE_DISPOSITION_INFO dispose{TRUE};
    // The file deleted is the one opened and checked, whatever the name means meanwhile.
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        HasMark(file, path) &&
        SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose)) {
      removed.push_back(
          {path, (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow});
    }
    CloseHandle(file);
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return removed;
}

void RaiseOpenFileLimit() {
  // The C runtime grows its descriptor table on demand, up to 2048 descriptors: room for the
  // 1,000 files of a worker's 500 pairs.
}

int DiskFile::CreateUnique(const std::string& root, char prefix, FileMode mode) {
  fd_ = UniqueFd();
  path_ = root + prefix + "XXXX.TMP";
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kCreate);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  mode_ = mode;
  if (mode == FileMode::kUnbuffered &&
      Fires(TakeDiskFault(DiskOperation::kDirectIo), DiskFaultEffect::kFail)) {
    mode_ = FileMode::kWriteThrough;
  }
  DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
  if (mode_ != FileMode::kCached) flags |= FILE_FLAG_WRITE_THROUGH;
  if (mode_ == FileMode::kUnbuffered) flags |= FILE_FLAG_NO_BUFFERING;
  const char prefix_text[2] = {prefix, '\0'};
  const unsigned start = NextUniqueStart();
  for (unsigned attempt = 0; attempt < 0x10000; ++attempt) {
    const unsigned unique = (start + attempt) & 0xFFFF;
    if (unique == 0) continue;  // would make GetTempFileNameA create a file of its own
    char name[MAX_PATH];
    if (GetTempFileNameA(root.c_str(), prefix_text, unique, name) == 0) return LastErrno();
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // A name in use; also one whose file is being deleted (access denied while it exists).
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
          (error == ERROR_ACCESS_DENIED && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES)) {
        continue;
      }
      return ErrnoFromWin32(error);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    if (fd < 0) {
      CloseHandle(handle);
      DeleteFileA(name);
      return EMFILE;
    }
    fd_ = UniqueFd(fd);
    path_ = name;
    // The file is held (shared for deletion only) before it is marked: a marked file that
    // another instance can open is a leftover.
    Mark(handle, path_);
    return 0;
  }
  return EEXIST;
}

void DiskFile::Unmark() {
  if (fd_.valid() && HasNamedStreams(HandleOf(fd_.get()))) {
    DeleteFileA((path_ + kMarkStream).c_str());
  }
}

int DiskFile::OpenForReading(const std::string& path, FileMode mode) {
  path_ = path;
  mode_ = mode == FileMode::kUnbuffered ? mode : FileMode::kCached;
  fd_ = UniqueFd();
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OVERLAPPED |
                      (mode_ == FileMode::kUnbuffered ? FILE_FLAG_NO_BUFFERING : 0);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrno();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    return ELOOP;  // a link at the name, as O_NOFOLLOW refuses it
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return EMFILE;
  }
  fd_ = UniqueFd(fd);
  return 0;
}

int DiskFile::Reserve(uint64_t bytes) {
  FILE_ALLOCATION_INFO allocation;
  allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(bytes);
  if (SetFileInformationByHandle(HandleOf(fd_.get()), FileAllocationInfo, &allocation,
                                 sizeof allocation)) {
    return 0;
  }
  // A filesystem that cannot reserve ahead (Wine has no such call) is not an error.
  const int error = LastErrno();
  return error == EOPNOTSUPP || error == EINVAL ? 0 : error;
}

int DiskFile::Flush() {
  std::optional<DiskFault> fault = TakeDiskFault(DiskOperation::kFlush);
  if (Fires(fault, DiskFaultEffect::kFail)) return fault->error;
  return FlushFileBuffers(HandleOf(fd_.get())) ? 0 : LastErrno();
}

void DiskFile::DropCachedPages() {
  // Windows has no call that drops one file's clean pages while it is open; the files are
  // unbuffered unless a test plants the refusal of unbuffered I/O.
}

int DiskFile::Close() { return _close(fd_.Release()) == 0 ? 0 : EBADF; }

struct AsyncBlockIo::Transfer {
  enum class State { kIdle, kInFlight, kDeferred, kDone };
  OVERLAPPED request{};
  HANDLE done_event = nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool write = false;
  std::byte* buffer = nullptr;
  DWORD bytes = 0;
  uint64_t offset = 0;
  DiskOperation counted_as = DiskOperation::kRead;
  State state = State::kIdle;
  size_t moved = 0;
  int error = 0;

  // Hands the transfer to the system; true when it was taken (its result then comes from
  // GetOverlappedResult), false when refused at once (`error` is set).
  bool Issue();
};

AsyncBlockIo::AsyncBlockIo(size_t slots) : transfers_(slots) {
  for (Transfer& transfer : transfers_) {
    transfer.done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  // context_ 1: transfers are started at once and overlap; 0: each is made when its slot is
  // finished.
  if (!Fires(TakeDiskFault(DiskOperation::kAsyncIo), DiskFaultEffect::kFail)) context_ = 1;
}

AsyncBlockIo::~AsyncBlockIo() {
  FinishAll();
  for (Transfer& transfer : transfers_) {
    if (transfer.done_event != nullptr) CloseHandle(transfer.done_event);
  }
}

void AsyncBlockIo::FinishAll() {
  for (Transfer& transfer : transfers_) {
    // A transfer that never reached the system is dropped without being made.
    if (transfer.state == Transfer::State::kInFlight) Await(transfer);
    transfer.state = Transfer::State::kIdle;
  }
}

bool AsyncBlockIo::busy(size_t slot) const {
  return transfers_[slot].state != Transfer::State::kIdle;
}

void AsyncBlockIo::StartRead(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                             DiskOperation counted_as) {
  Start(slot, 0, fd, buffer, bytes, offset, counted_as);
}

void AsyncBlockIo::StartWrite(size_t slot, int fd, std::byte* buffer, size_t bytes, uint64_t offset,
                              DiskOperation counted_as) {
  std::optional<DiskFault> fault = TakeDiskFault(counted_as);
  // The block reaches the device with one byte changed, as from a bad cable or cell.
  if (Fires(fault, DiskFaultEffect::kCorrupt)) buffer[bytes / 2] ^= std::byte{0x5A};
  if (Fires(fault, DiskFaultEffect::kFail)) {
    Transfer& transfer = transfers_[slot];
    transfer.write = true;
    transfer.moved = 0;
    transfer.error = fault->error;
    transfer.state = Transfer::State::kDone;
    return;
  }
  if (Fires(fault, DiskFaultEffect::kShort)) bytes /= 2;
  Start(slot, 1, fd, buffer, bytes, offset, counted_as);
}

void AsyncBlockIo::Start(size_t slot, uint16_t opcode, int fd, const std::byte* buffer,
                         size_t bytes, uint64_t offset, DiskOperation counted_as) {
  Transfer& transfer = transfers_[slot];
  transfer.file = HandleOf(fd);
  transfer.write = opcode == 1;
  transfer.buffer = const_cast<std::byte*>(buffer);
  transfer.bytes = static_cast<DWORD>(bytes);
  transfer.offset = offset;
  transfer.counted_as = counted_as;
  transfer.moved = 0;
  transfer.error = 0;
  transfer.state = Transfer::State::kDone;
  if (transfer.file == INVALID_HANDLE_VALUE) {
    transfer.error = EBADF;
    return;
  }
  // Windows refuses a misaligned transfer on an unbuffered file, but Wine does not: the check
  // is made here, so that every system sees the same refusal, before the transfer is made.
  if ((reinterpret_cast<uintptr_t>(buffer) % kDirectIoAlignment != 0 ||
       bytes % kDirectIoAlignment != 0 || offset % kDirectIoAlignment != 0) &&
      IsUnbuffered(transfer.file)) {
    transfer.error = EINVAL;
    return;
  }
  transfer.state = Transfer::State::kDeferred;
  if (context_ != 0 && transfer.Issue()) transfer.state = Transfer::State::kInFlight;
}

bool AsyncBlockIo::Transfer::Issue() {
  error = 0;
  request = OVERLAPPED{};
  request.Offset = static_cast<DWORD>(offset);
  request.OffsetHigh = static_cast<DWORD>(offset >> 32);
  request.hEvent = done_event;
  ResetEvent(done_event);
  const BOOL done = write ? WriteFile(file, buffer, bytes, nullptr, &request)
                          : ReadFile(file, buffer, bytes, nullptr, &request);
  if (done || GetLastError() == ERROR_IO_PENDING) return true;
  // Refused at once: a read at the end of the file moved nothing, anything else failed.
  const DWORD refusal = GetLastError();
  error = refusal == ERROR_HANDLE_EOF ? 0 : ErrnoFromWin32(refusal);
  return false;
}

void AsyncBlockIo::Await(Transfer& transfer) {
  if (transfer.state == Transfer::State::kDeferred) {
    if (!transfer.Issue()) {
      transfer.state = Transfer::State::kDone;
      return;
    }
    transfer.state = Transfer::State::kInFlight;
  }
  if (transfer.state != Transfer::State::kInFlight) return;
  DWORD moved = 0;
  if (GetOverlappedResult(transfer.file, &transfer.request, &moved, TRUE)) {
    transfer.moved = moved;
  } else {
    const DWORD error = GetLastError();
    transfer.moved = 0;
    transfer.error = error == ERROR_HANDLE_EOF ? 0 : ErrnoFromWin32(error);
  }
  transfer.state = Transfer::State::kDone;
}

AsyncBlockIo::Result AsyncBlockIo::Finish(size_t slot) {
  Transfer& transfer = transfers_[slot];
  Await(transfer);
  transfer.state = Transfer::State::kIdle;
  Result result{transfer.error == 0 ? transfer.moved : 0, transfer.error};
  if (!transfer.write) {
    std::optional<DiskFault> fault = TakeDiskFault(transfer.counted_as);
    if (Fires(fault, DiskFaultEffect::kFail)) result = {0, fault->error};
    if (Fires(fault, DiskFaultEffect::kShort) && result.bytes > 0) result.bytes /= 2;
    if (Fires(fault, DiskFaultEffect::kCorrupt) && result.bytes > 0) {
      transfer.buffer[result.bytes / 2] ^= std::byte{0x5A};
    }
  }
  return result;
}

}  // namespace forgeval::platform
