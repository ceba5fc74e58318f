#include "run/test_table.h"

#include <algorithm>
#include <array>

#include "stress/cache.h"
#include "stress/disk.h"
#include "stress/fft.h"
#include "stress/matrix.h"
#include "stress/memory.h"
#include "stress/sort.h"

namespace forgeval {
namespace {

constexpr std::array<TestEntry, 6> kAllTests = {{
    {"Memory", "[***ERROR: Memory Test : ", &MemoryTestThread, WorkerList::kPerProcessor},
    {"Cache", "[***ERROR: Cache Test : ", &CacheTestThread, WorkerList::kPerProcessor},
    {"FFT", "[*** ERROR: FFT Test : ", &FftTestThread, WorkerList::kPerProcessor},
    {"SortAlgorithms", "[***ERROR: QuickSort Test : ", &SortTestThread, WorkerList::kPerProcessor},
    {"Matrix", "[***ERROR: Matrix Test : ", &MatrixTestThread, WorkerList::kPerProcessor},
    {"Disk", "[***ERROR: Disk Test : ", &DiskTestThread, WorkerList::kPerDrive},
}};

struct BuiltTable {
  std::array<TestEntry, 6> tests{};
  size_t count = 0;
};

BuiltTable MakeBuiltTable() {
  BuiltTable table;
  for (const TestEntry& test : kAllTests) {
    if (test.entry != nullptr) table.tests[table.count++] = test;
  }
  return table;
}

}  // namespace

std::span<const TestEntry> BuiltTests() {
  // Built at first use, not at compile time: with the undefined-behaviour sanitizer GCC does
  // not take a test's entry address as a constant it can compare with null.
  static const BuiltTable built = MakeBuiltTable();
  return std::span<const TestEntry>(built.tests.data(), built.count);
}

std::span<const TestEntry> AllTests() { return kAllTests; }

}  // namespace forgeval
