// The blocks come from the memory budget, so a block the machine cannot back is refused (the
// allocation error) instead of being granted and the process killed when the test touches it.
// Before the first block the worker checks that all its blocks would fit the room left now:
// a MemSize far beyond the machine is then reported at once, without first taking the
// machine's memory down to the safety margin block by block (the error text is the same).
#include "stress/memory.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory_budget.h"
#include "run/ini_file.h"
#include "stress/compare_kernels.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

using platform::BudgetedBlock;

// An address as the error texts show it ("%016" PRIX64): sixteen upper-case hexadecimal
// digits, no prefix.
uint64_t AddressValue(const void* address) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
}

[[noreturn]] void ReportAllocationFailure(int worker_index) {
  char text[96];
  snprintf(text, sizeof text, "[***ERROR: Thread %d : Allocating Memory at %016" PRIX64 " ***]",
           worker_index, uint64_t{0});
  ReportTestError(text);
}

[[noreturn]] void ReportNegativeMemSize(int worker_index, int32_t mem_size) {
  char text[128];
  snprintf(text, sizeof text,
           "[***ERROR: Thread %d : Allocating Memory: MemSize %d gives a negative block count ***]",
           worker_index, mem_size);
  ReportTestError(text);
}

// The two check errors: "[***ERROR Thread %d : Occured with Data Bus test at address %p ***]"
// and "[***ERROR Thread %d : Occured DRAM array test at address %p ***]".
constexpr const char* kDataBusTest = "with Data Bus test";
constexpr const char* kDramArrayTest = "DRAM array test";

[[noreturn]] void ReportCheckError(int worker_index, const char* check, const void* address) {
  char text[96];
  snprintf(text, sizeof text, "[***ERROR Thread %d : Occured %s at address %016" PRIX64 " ***]",
           worker_index, check, AddressValue(address));
  ReportTestError(text);
}

// Step 3: the blocks, one after the other, in list order.
std::vector<BudgetedBlock> AllocateBlocks(int worker_index, int32_t block_count) {
  const size_t count = static_cast<size_t>(block_count);
  if (count > SIZE_MAX / kMemoryBlockBytes ||
      !platform::FitsMemoryRoom(count * kMemoryBlockBytes)) {
    ReportAllocationFailure(worker_index);
  }
  std::vector<BudgetedBlock> blocks;
  for (size_t i = 0; i < count; ++i) {
    StopIfRequested();
    BudgetedBlock block(kMemoryBlockBytes);
    if (!block) ReportAllocationFailure(worker_index);
    blocks.push_back(std::move(block));
  }
  return blocks;
}

void MemoryTestBody(int index) {
  const auto mem_size = static_cast<int32_t>(IniReadInt("Memory", "MemSize", 4));
  const int32_t block_count = MemoryBlockCount(mem_size);
  const int32_t megabytes = block_count * 4;

  ReportProgress(index, "Allocating %dMB Memory for testing...", megabytes);
  if (block_count < 0) ReportNegativeMemSize(index, mem_size);
  std::vector<BudgetedBlock> blocks = AllocateBlocks(index, block_count);

  ReportProgress(index, "Testing Memory Address & Data bus...");
  const WorkStopwatch stopwatch;
  for (size_t i = 0; i < blocks.size(); ++i) {
    StopIfRequested();
    auto* words = static_cast<uint64_t*>(blocks[i].data());
    if (const uint64_t* bad = CheckAddressDataBus(index, i, words, kMemoryBlockWords)) {
      ReportCheckError(index, kDataBusTest, bad);
    }
  }
  ReportProgress(index, "Testing Memory Address & Data bus...[Done]");

  ReportProgress(index, "Testing DRAM Arrays...");
  for (size_t i = 0; i < blocks.size(); ++i) {
    ReportWorkProgress(index, static_cast<double>(i) / static_cast<double>(blocks.size()));
    auto* bytes = static_cast<uint8_t*>(blocks[i].data());
    if (const uint8_t* bad = CheckDramArray(index, i, bytes, kMemoryBlockBytes)) {
      ReportCheckError(index, kDramArrayTest, bad);
    }
  }
  ReportWorkProgress(index, 1.0);
  ReportProgress(index, "Testing DRAM Arrays...[Done]");
  // Each block is read back twice by the bus check and once per fill value by the array check.
  const double bytes_checked = static_cast<double>(blocks.size()) * kMemoryBlockBytes * (2 + 256);
  ReportWorkerFigure(index, "megabytes", int64_t{megabytes});
  ReportWorkerFigure(index, "bytes_checked", static_cast<int64_t>(bytes_checked));
  ReportWorkerFigure(index, "gb_per_s", stopwatch.Rate(bytes_checked, 1e9));
  ReportWorkerFigure(index, "fill", std::string("streaming"));

  // Releasing a budgeted block cannot fail, so the release has no error of its own.
  ReportProgress(index, "De-allocating %dMB Memory...", megabytes);
  for (BudgetedBlock& block : blocks) block = BudgetedBlock();
  blocks.clear();
  ReportProgress(index, "De-allocating %dMB Memory...[Done]", megabytes);
}

}  // namespace

uint32_t MemoryTestThread(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), &MemoryTestBody, CatchClauses::kStandard);
}

int32_t MemoryBlockCount(int32_t mem_size) { return mem_size / 4; }

const uint64_t* CheckAddressDataBus(int worker_index, size_t block, uint64_t* words, size_t count) {
  const CompareKernels& kernels = BestKernels();
  PassPoint point{PassKind::kBusWritten, worker_index, block, 0, 0, words, count * sizeof *words};
  kernels.write_index_words(words, count);
  BetweenPasses(point);
  if (const uint64_t* bad = kernels.check_and_complement(words, count)) return bad;
  point.kind = PassKind::kBusComplemented;
  BetweenPasses(point);
  return kernels.find_complement_mismatch(words, count);
}

const uint8_t* CheckDramArray(int worker_index, size_t block, uint8_t* data, size_t size) {
  const CompareKernels& kernels = BestKernels();
  for (unsigned value = 0; value <= 255; ++value) {
    StopIfRequested();
    kernels.fill_bytes(data, size, static_cast<uint8_t>(value));
    BetweenPasses({PassKind::kDramFilled, worker_index, block, value, 0, data, size});
    if (const uint8_t* bad = kernels.find_byte_mismatch(data, size, static_cast<uint8_t>(value))) {
      return bad;
    }
  }
  return nullptr;
}

}  // namespace forgeval
