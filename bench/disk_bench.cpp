// The disk test's three steps on one pair, each timed on its own: the first file written,
// the kernel's copy, and the verification that reads both back and compares them. The
// folder is FORGEVAL_BENCH_DIR (default /tmp); each benchmark makes its files in a fresh
// folder there and removes them. bench/disk_vs_fio.sh sets these against fio on the same
// folder. One iteration is 512 MiB written (1 GiB for a pair, 1 GiB read for a
// verification), so run them with --benchmark_repetitions rather than more iterations.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/disk_io.h"
#include "stress/disk_pair.h"

namespace forgeval {
namespace {

const BlockBoundary kNoBoundary = [] {};

// A fresh folder below FORGEVAL_BENCH_DIR, removed with its files afterwards.
class BenchFolder {
 public:
  BenchFolder() {
    const char* base = getenv("FORGEVAL_BENCH_DIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fgvbench.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern + "/";
  }
  ~BenchFolder() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// Writes the first file of a pair; with `copy` also makes the second file.
bool MakePair(const std::string& root, DiskWorkspace& workspace, bool copy, std::string* first,
              std::string* second) {
  platform::DiskFile first_file;
  platform::DiskFile second_file;
  if (first_file.CreateUnique(root, 'm', platform::FileMode::kUnbuffered) != 0) return false;
  if (second_file.CreateUnique(root, 'n', platform::FileMode::kUnbuffered) != 0) return false;
  *first = first_file.path();
  *second = second_file.path();
  WriteFirstFile(first_file, workspace, kNoBoundary);
  if (copy) CopyFirstFile(first_file, second_file, workspace, kNoBoundary);
  return first_file.Close() == 0 && second_file.Close() == 0;
}

// Writes pairs, with or without the copy; counts the bytes that go to the device.
void WritePairs(benchmark::State& state, bool copy) {
  BenchFolder folder;
  DiskWorkspace workspace;
  for (auto _ : state) {
    std::string first;
    std::string second;
    if (!MakePair(folder.root(), workspace, copy, &first, &second)) {
      state.SkipWithError("cannot write in the folder");
      break;
    }
    state.PauseTiming();
    platform::RemoveFile(first);
    platform::RemoveFile(second);
    state.ResumeTiming();
  }
  const int64_t files = copy ? 2 : 1;
  state.SetBytesProcessed(state.iterations() * files * static_cast<int64_t>(kDiskFileBytes));
}

void BM_DiskWriteFirstFile(benchmark::State& state) { WritePairs(state, false); }
BENCHMARK(BM_DiskWriteFirstFile)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The whole write phase for one pair: the first file and its copy, 1 GiB to the device.
void BM_DiskWritePair(benchmark::State& state) { WritePairs(state, true); }
BENCHMARK(BM_DiskWritePair)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Verifies a pair of its own, or the two files named by FORGEVAL_BENCH_PAIR ("first:second",
// both holding the fill pattern), so that fio can be timed reading the very same bytes.
void BM_DiskVerifyPair(benchmark::State& state) {
  BenchFolder folder;
  DiskWorkspace workspace;
  std::string first;
  std::string second;
  if (const char* pair = getenv("FORGEVAL_BENCH_PAIR"); pair != nullptr) {
    const std::string names = pair;
    first = names.substr(0, names.find(':'));
    second = names.substr(names.find(':') + 1);
  } else if (!MakePair(folder.root(), workspace, true, &first, &second)) {
    state.SkipWithError("cannot write in the folder");
    return;
  }
  platform::DiskFile first_file;
  platform::DiskFile second_file;
  if (first_file.OpenForReading(first, platform::FileMode::kUnbuffered) != 0 ||
      second_file.OpenForReading(second, platform::FileMode::kUnbuffered) != 0) {
    state.SkipWithError("cannot open the pair");
    return;
  }
  for (auto _ : state) {
    if (VerifyFilePair(first_file, second_file, workspace, kNoBoundary).outcome !=
        PairVerdict::Outcome::kAsWritten) {
      state.SkipWithError("the pair does not hold the fill pattern");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(kDiskFileBytes));
}
BENCHMARK(BM_DiskVerifyPair)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The processor's share of verifying one block of each file, on blocks that are not in the
// caches (as after a read from the device): the pattern check of both (state.range(0) 1)
// against a comparison of the two with each other alone (0).
void BM_DiskBlockChecks(benchmark::State& state) {
  constexpr size_t kRing = 64;  // 64 MiB, more than the caches hold
  std::vector<std::byte> blocks(kRing * kDiskBlockBytes);
  for (size_t i = 0; i < kRing; ++i) FillDiskPattern(blocks.data() + i * kDiskBlockBytes);
  size_t i = 0;
  for (auto _ : state) {
    const std::byte* first = blocks.data() + i * kDiskBlockBytes;
    const std::byte* second = blocks.data() + (i + 1) * kDiskBlockBytes;
    i = (i + 2) % kRing;
    const bool same = state.range(0) != 0 ? FindPatternMismatch(first) == kDiskBlockBytes &&
                                                FindPatternMismatch(second) == kDiskBlockBytes
                                          : memcmp(first, second, kDiskBlockBytes) == 0;
    benchmark::DoNotOptimize(same);
  }
  state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(kDiskBlockBytes));
}
BENCHMARK(BM_DiskBlockChecks)->Arg(0)->Arg(1);

}  // namespace
}  // namespace forgeval
