// The disk test: each worker writes pairs of 512 MiB files into its drive's folder, the first
// file written by the worker around the system cache, the second a copy made by the kernel,
// then reads every pair back from the device side by side, 1 MiB at a time, and demands that
// they agree. A disagreement or any failed file operation is that worker's error.
//
// One worker per "Drive" entry (run/worker_dispatch.h), in this order:
//   probe     "<root>~temp.tmp" created and removed; on failure
//             "[*** ERROR Thread %d : Cannot write on %s drive ***]" (before the buffers are
//             taken from the memory budget)
//   leftovers the test files a killed run left (platform::RemoveLeftoverFiles) removed, with
//             "Drive %s: removed %zu files an earlier run left, <size> GB"
//   write     "Writting %dGB on drive %s ..." (the configured size, no "[Done]"); pair k is
//             written while k < min(Size, 500) and the free space, rounded down to whole
//             GiB, is above 2 GiB (so at least 3 GiB are available); fewer pairs than asked,
//             or none asked, give "Drive %s: %d of %d file pairs written: <why>"
//   verify    "Verifying written data on drive %s ..."; a block of the first file that is not
//             the fill pattern gives "[*** ERROR Thread %d : Drive %s, %s holds other data
//             than was written at byte %llu ***]" (the file's path and the byte's offset in
//             it); a block of the second file that differs from the first gives
//             "[*** ERROR Thread %d : Drive results are inconsistent( File1 = %s, File2 = %s) ***]"
//   clean-up  every first file, then its second file, deleted; the log alone gets
//             "Verifying written data on drive %s ...[Done]"
// A failed file operation gives "[*** ERROR Thread %d : Drive %s,  <cause text> ***]"; a read
// that delivers less than a whole block is one (the end of file was reached), since it would
// otherwise compare against the previous block still in the buffer.
//
// A worker holds its files open and locked from their creation to their deletion. After an
// error the files stay in the folder, unmarked, for the operator to examine. When the run is
// interrupted, the worker stops at its next block and deletes every file it made.
#ifndef FORGEVAL_STRESS_DISK_H_
#define FORGEVAL_STRESS_DISK_H_

#include <cstdint>

#include "stress/disk_worker_args.h"

namespace forgeval {

// The file tables' size: a worker writes at most this many pairs.
inline constexpr int kDiskMaxPairs = 500;

// The worker entry; `argument` is the address of the worker's DiskWorkerArgs record.
uint32_t DiskTestThread(uintptr_t argument);

// The number of pairs a `Size` setting asks for: 0 for zero or less, at most kDiskMaxPairs.
int DiskPairsToWrite(int32_t size);

// The free-space rule: another pair is begun while this holds.
bool DiskHasRoomForPair(uint64_t free_bytes);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_DISK_H_
