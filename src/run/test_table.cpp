#include "run/test_table.h"

#include <algorithm>
#include <array>

#include "stress/disk_test.h"

namespace forgeval {
namespace {

constexpr std::array<TestEntry, 6> kAllTests = {{
    {"Memory", "[***ERROR: Memory Test : ", nullptr, WorkerList::kPerProcessor},
    {"Cache", "[***ERROR: Cache Test : ", nullptr, WorkerList::kPerProcessor},
    {"FFT", "[*** ERROR: FFT Test : ", nullptr, WorkerList::kPerProcessor},
    {"SortAlgorithms", "[***ERROR: QuickSort Test : ", nullptr, WorkerList::kPerProcessor},
    {"Matrix", "[***ERROR: Matrix Test : ", nullptr, WorkerList::kPerProcessor},
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
  // Made on first use, not at compile time: under the sanitizers a function's address is not
  // a constant the compiler may compare with null.
  static const BuiltTable built = MakeBuiltTable();
  return std::span<const TestEntry>(built.tests.data(), built.count);
}

std::span<const TestEntry> AllTests() { return kAllTests; }

}  // namespace forgeval
