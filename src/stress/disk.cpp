#include "stress/disk.h"

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/disk_io.h"
#include "platform/interrupt.h"
#include "report/run_log.h"
#include "stress/disk_pair.h"
#include "stress/file_exception.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

constexpr const char* kCannotWrite = "[*** ERROR Thread %d : Cannot write on %s drive ***]";
constexpr const char* kWriting = "Writting %dGB on drive %s ...";
constexpr const char* kVerifying = "Verifying written data on drive %s ...";
constexpr const char* kVerified = "Verifying written data on drive %s ...[Done]";
constexpr const char* kInconsistent =
    "[*** ERROR Thread %d : Drive results are inconsistent( File1 = %s, File2 = %s) ***]";
constexpr const char* kFileFailure = "[*** ERROR Thread %d : Drive %s,  %s ***]";
constexpr const char* kSizeCapped =
    "Size %d is more than %d file pairs: at most %dGB are written on drive %s";
constexpr const char* kNoUnbufferedIo =
    "Drive %s refuses unbuffered I/O: writing through the cache and dropping it before "
    "every read-back";

constexpr uint64_t kGiB = uint64_t{1} << 30;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

struct FilePair {
  std::string first;   // empty until the file exists
  std::string second;  // empty until the file exists
};

class DiskTest {
 public:
  DiskTest(int worker_index, const DiskWorkerArgs& args)
      : index_(worker_index), root_(args.drive_root), size_(args.size) {
    pairs_.reserve(kDiskMaxPairs);
  }

  const std::string& root() const { return root_; }

  void Run() {
    if (!platform::ProbeFolderWritable(root_)) {
      ReportTestError(Format(kCannotWrite, index_, root_.c_str()));
    }
    StopIfRequested();
    // No answer means no room: nothing is written on a drive whose space is unknown.
    free_bytes_ = platform::FreeBytesAvailable(root_).value_or(0);
    if (size_ > kDiskMaxPairs) {
      ReportProgress(index_, kSizeCapped, size_, kDiskMaxPairs, kDiskMaxPairs, root_.c_str());
    }
    ReportProgress(index_, kWriting, size_, root_.c_str());
    const int pairs = DiskPairsToWrite(size_);
    // Progress: writing is the first half of the work, verifying the second.
    const auto progress = [this, pairs](double half, size_t done) {
      ReportWorkProgress(index_, pairs > 0 ? (half + static_cast<double>(done) / pairs) / 2 : 1.0);
    };
    const WorkStopwatch writing;
    while (static_cast<int>(pairs_.size()) < pairs && DiskHasRoomForPair(free_bytes_)) {
      progress(0, pairs_.size());
      WritePair();
      if (std::optional<uint64_t> free = platform::FreeBytesAvailable(root_)) free_bytes_ = *free;
    }
    const double pair_bytes = 2.0 * static_cast<double>(kDiskFileBytes);
    const double bytes = pair_bytes * static_cast<double>(pairs_.size());
    ReportWorkerFigure(index_, "pairs_written", static_cast<int64_t>(pairs_.size()));
    if (pairs_.empty()) ReportNothingTested(index_, "The Disk test wrote 0 GB on drive " + root_);
    ReportWorkerFigure(index_, "write_mb_per_s", writing.Rate(bytes, 1e6));

    ReportProgress(index_, kVerifying, root_.c_str());
    const WorkStopwatch reading;
    for (size_t i = 0; i < pairs_.size(); ++i) {
      AtBoundary();
      progress(1, i);
      const FilePair& pair = pairs_[i];
      if (!VerifyFilePair(pair.first, pair.second, mode_, workspace_, at_boundary_)) {
        ReportTestError(Format(kInconsistent, index_, pair.first.c_str(), pair.second.c_str()));
      }
    }
    ReportWorkerFigure(index_, "read_mb_per_s", reading.Rate(bytes, 1e6));

    for (const FilePair& pair : pairs_) {
      ThrowIfFileError(platform::RemoveFile(pair.first), pair.first);
      ThrowIfFileError(platform::RemoveFile(pair.second), pair.second);
    }
    pairs_.clear();
    LogThreadMessage(index_, kVerified, root_.c_str());
  }

 private:
  // A block boundary: when the run is asked to stop, the worker deletes every file it made
  // and ends quietly.
  void AtBoundary() {
    if (!platform::StopRequested()) return;
    for (const FilePair& pair : pairs_) {
      if (!pair.first.empty()) platform::RemoveFile(pair.first);
      if (!pair.second.empty()) platform::RemoveFile(pair.second);
    }
    StopIfRequested();
  }

  void WritePair() {
    AtBoundary();
    FilePair& pair = pairs_.emplace_back();
    platform::DiskFile first;
    ThrowIfFileError(first.CreateUnique(root_, 'm', mode_), first.path());
    pair.first = first.path();
    if (first.mode() != mode_) {
      mode_ = first.mode();
      ReportProgress(index_, kNoUnbufferedIo, root_.c_str());
    }
    platform::DiskFile second;
    ThrowIfFileError(second.CreateUnique(root_, 'n', platform::FileMode::kCached), second.path());
    pair.second = second.path();

    WriteFirstFile(first, workspace_, at_boundary_);
    ThrowIfFileError(first.Close(), pair.first);
    CopyFirstFile(pair.first, second, at_boundary_);
    ThrowIfFileError(second.Close(), pair.second);
  }

  const int index_;
  const std::string& root_;
  const int32_t size_;
  DiskWorkspace workspace_;
  std::vector<FilePair> pairs_;  // every pair begun, in order
  uint64_t free_bytes_ = 0;
  platform::FileMode mode_ = platform::FileMode::kUnbuffered;
  const BlockBoundary at_boundary_ = [this] { AtBoundary(); };
};

void DiskTestBody(int worker_index, uintptr_t argument) {
  const auto& args = *reinterpret_cast<const DiskWorkerArgs*>(argument);
  DiskTest test(worker_index, args);
  try {
    test.Run();
  } catch (const CFileException& failure) {
    ReportTestError(Format(kFileFailure, worker_index, test.root().c_str(), failure.CauseText()));
  }
}

}  // namespace

uint32_t DiskTestThread(uintptr_t argument) {
  const auto* args = reinterpret_cast<const DiskWorkerArgs*>(argument);
  return RunTestWorker(args->worker_index, argument, &DiskTestBody, CatchClauses::kStandard);
}

int DiskPairsToWrite(int32_t size) {
  if (size <= 0) return 0;
  return size > kDiskMaxPairs ? kDiskMaxPairs : size;
}

bool DiskHasRoomForPair(uint64_t free_bytes) { return free_bytes / kGiB * kGiB > 2 * kGiB; }

}  // namespace forgeval
