// The fixed sequence of the six tests of a pass. The configuration can switch a test off but
// never reorder the sequence. A test whose body is not built into this program has no
// worker entry and is left out of the table the driver runs.
#ifndef FORGEVAL_RUN_TEST_TABLE_H_
#define FORGEVAL_RUN_TEST_TABLE_H_

#include <cstdint>
#include <span>

namespace forgeval {

// A worker's entry function: receives the worker index (or, for the disk test, the address
// of its DiskWorkerArgs record) and returns the thread's exit code.
using WorkerEntry = uint32_t (*)(uintptr_t argument);

enum class WorkerList {
  kPerProcessor,  // one worker per entry of the section's "CPU" list
  kPerDrive,      // one worker per entry of the "Drive" list, pinned by the "CPU" list
};

struct TestEntry {
  const char* section;       // configuration section, e.g. "Memory"
  const char* error_prefix;  // start of the test's dispatch error texts
  WorkerEntry entry;         // null while the test's body is not built
  WorkerList list;
};

// The tests the driver runs, in their fixed order: those of the six that have a body.
std::span<const TestEntry> BuiltTests();

// All six, in order, including those without a body.
std::span<const TestEntry> AllTests();

}  // namespace forgeval

#endif  // FORGEVAL_RUN_TEST_TABLE_H_
