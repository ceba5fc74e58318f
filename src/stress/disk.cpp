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
constexpr const char* kNotAsWritten =
    "[*** ERROR Thread %d : Drive %s, %s holds other data than was written at byte %llu ***]";
constexpr const char* kLeftovers = "Drive %s: removed %zu files an earlier run left, %s";
constexpr const char* kFewerPairs = "Drive %s: %d of %d file pairs written: %s";
constexpr const char* kFileFailure = "[*** ERROR Thread %d : Drive %s,  %s ***]";
constexpr const char* kSizeCapped =
    "Size %d is more than %d file pairs: at most %dGB are written on drive %s";
constexpr const char* kNoUnbufferedIo =
    "Drive %s refuses unbuffered I/O: writing through the cache and dropping it before "
    "every read-back";

constexpr uint64_t kGiB = uint64_t{1} << 30;

// Bytes as gigabytes (GiB, as "Writting 40GB" counts them) to one decimal, rounded down, so
// that a drive short of room never shows the amount it lacks: "2.9 GB".
std::string Gigabytes(uint64_t bytes) {
  const uint64_t tenths = bytes / (kGiB / 10);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GB";
}

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
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

// A pair's files stay open, and so locked against other instances, until they are deleted.
struct FilePair {
  platform::DiskFile first;   // not open until the file exists
  platform::DiskFile second;  // not open until the file exists
};

class DiskTest {
 public:
  DiskTest(int worker_index, const DiskWorkerArgs& args)
      : index_(worker_index), root_(args.drive_root), size_(args.size) {
    pairs_.reserve(kDiskMaxPairs);
    platform::RaiseOpenFileLimit();
  }
  // Files still open were kept after an error: unmarked, so that no later run removes them
  // before the operator has examined them (unmarking the files an interrupt deleted does no
  // harm).
  ~DiskTest() {
    for (FilePair& pair : pairs_) {
      for (platform::DiskFile* file : {&pair.first, &pair.second}) {
        if (file->is_open()) file->Unmark();
      }
    }
  }

  const std::string& root() const { return root_; }

  void Run() {
    RemoveLeftovers();
    StopIfRequested();
    // No answer means no room: nothing is written on a drive whose space is unknown.
    std::optional<uint64_t> free = platform::FreeBytesAvailable(root_);
    const bool free_known = free.has_value();
    free_bytes_ = free.value_or(0);
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
      if (std::optional<uint64_t> now = platform::FreeBytesAvailable(root_)) free_bytes_ = *now;
    }
    const double pair_bytes = 2.0 * static_cast<double>(kDiskFileBytes);
    const double bytes = pair_bytes * static_cast<double>(pairs_.size());
    const int written = static_cast<int>(pairs_.size());
    if (written < pairs || pairs == 0) {
      const std::string why = pairs == 0   ? Format("Size %d asks for none", size_)
                              : free_known ? Gigabytes(free_bytes_) + " free, 3 GB needed"
                                           : std::string("the free space cannot be read");
      ReportProgress(index_, kFewerPairs, root_.c_str(), written, pairs, why.c_str());
    }
    ReportWorkerFigure(index_, "pairs_asked", static_cast<int64_t>(pairs));
    ReportWorkerFigure(index_, "pairs_written", static_cast<int64_t>(written));
    if (written == 0) ReportNothingTested(index_, "The Disk test wrote 0 GB on drive " + root_);
    ReportWorkerFigure(index_, "write_mb_per_s", writing.Rate(bytes, 1e6));

    ReportProgress(index_, kVerifying, root_.c_str());
    const WorkStopwatch reading;
    for (size_t i = 0; i < pairs_.size(); ++i) {
      AtBoundary();
      progress(1, i);
      FilePair& pair = pairs_[i];
      const PairVerdict verdict = VerifyFilePair(pair.first, pair.second, workspace_, at_boundary_);
      if (verdict.outcome == PairVerdict::Outcome::kNotAsWritten) {
        ReportTestError(Format(kNotAsWritten, index_, root_.c_str(), verdict.file->path().c_str(),
                               static_cast<unsigned long long>(verdict.byte)));
      }
      if (verdict.outcome == PairVerdict::Outcome::kInconsistent) {
        ReportTestError(
            Format(kInconsistent, index_, pair.first.path().c_str(), pair.second.path().c_str()));
      }
    }
    ReportWorkerFigure(index_, "read_mb_per_s", reading.Rate(bytes, 1e6));

    // Each file is deleted while still locked, then closed; a file that cannot be deleted
    // stays open, and so is kept and unmarked for the operator.
    for (FilePair& pair : pairs_) {
      for (platform::DiskFile* file : {&pair.first, &pair.second}) {
        ThrowIfFileError(platform::RemoveFile(file->path()), file->path());
        file->Close();
      }
    }
    pairs_.clear();
    LogThreadMessage(index_, kVerified, root_.c_str());
  }

 private:
  // Removes the files a killed run left in the folder, with one line for the operator.
  void RemoveLeftovers() {
    const std::vector<platform::LeftoverFile> removed = platform::RemoveLeftoverFiles(root_);
    if (removed.empty()) return;
    uint64_t bytes = 0;
    for (const platform::LeftoverFile& file : removed) bytes += file.bytes;
    ReportProgress(index_, kLeftovers, root_.c_str(), removed.size(), Gigabytes(bytes).c_str());
  }

  // A block boundary: when the run is asked to stop, the worker deletes every file it made
  // and ends quietly.
  void AtBoundary() {
    if (!platform::StopRequested()) return;
    for (const FilePair& pair : pairs_) {
      if (pair.first.is_open()) platform::RemoveFile(pair.first.path());
      if (pair.second.is_open()) platform::RemoveFile(pair.second.path());
    }
    StopIfRequested();
  }

  void WritePair() {
    AtBoundary();
    FilePair& pair = pairs_.emplace_back();
    ThrowIfFileError(pair.first.CreateUnique(root_, 'm', mode_), pair.first.path());
    if (pair.first.mode() != mode_) {
      mode_ = pair.first.mode();
      ReportProgress(index_, kNoUnbufferedIo, root_.c_str());
    }
    ThrowIfFileError(pair.second.CreateUnique(root_, 'n', mode_), pair.second.path());
    WriteFirstFile(pair.first, workspace_, at_boundary_);
    CopyFirstFile(pair.first, pair.second, workspace_, at_boundary_);
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
  // Before the buffers are taken from the memory budget: a folder that cannot be written is
  // reported as such, also on a machine short of memory.
  if (!platform::ProbeFolderWritable(args.drive_root)) {
    ReportTestError(Format(kCannotWrite, worker_index, args.drive_root.c_str()));
  }
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
