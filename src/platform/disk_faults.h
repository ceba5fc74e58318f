// Planted disk faults: the failures of the disk test's file operations that a healthy machine
// does not give on demand (a device error, a full disk at a chosen block, a short read, a
// corrupted copy, a filesystem that refuses unbuffered I/O). The tests plant one fault; the
// operations of disk_io.h consult it and behave as the failing system would. A program that
// plants nothing runs every operation unchanged, at the cost of one relaxed atomic load each.
//
// Thread-safe: a fault may be planted while workers run; it fires once, in one of them.
#ifndef FORGEVAL_PLATFORM_DISK_FAULTS_H_
#define FORGEVAL_PLATFORM_DISK_FAULTS_H_

#include <functional>
#include <optional>

namespace forgeval::platform {

// The operations a fault can be planted in, each counted on its own.
enum class DiskOperation {
  kCreate,     // making a file with a unique name
  kDirectIo,   // asking for O_DIRECT on a new file (kFail: the filesystem refuses it)
  kWrite,      // one block of the first file written
  kCopyRead,   // one block of the first file read for the copy
  kCopy,       // one block of the copy written to the second file
  kFlush,      // the second file flushed to the device after the copy
  kRead,       // one block read back: first file, then second file, block by block
  kRemove,     // deleting a file
  kFreeSpace,  // the free-space query
  kAsyncIo,    // setting up the kernel's asynchronous I/O (kFail: unavailable)
};

enum class DiskFaultEffect {
  kFail,     // the operation fails with `error` and does nothing
  kShort,    // the operation transfers half of what it was asked to (a read: half the bytes)
  kCorrupt,  // the operation succeeds, but one byte of its block differs afterwards
  kRun,      // the operation first runs `action` (a test's pause, which may change the
             // device under the file), then goes on unchanged
};

struct DiskFault {
  DiskOperation operation;
  DiskFaultEffect effect;
  int error = 0;  // the errno value of kFail
  long skip = 0;  // operations of this kind that pass before the fault fires
  std::function<void()> action = nullptr;  // of kRun
};

// Plants `fault`, replacing a fault planted before, and restarts the count.
void PlantDiskFault(const DiskFault& fault);

// Removes a planted fault that has not fired.
void ClearDiskFault();

// Counts one operation of kind `operation`; returns the planted fault when it fires now (it
// is then removed), after running its action when it is a kRun. For disk_io.cpp.
std::optional<DiskFault> TakeDiskFault(DiskOperation operation);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_DISK_FAULTS_H_
