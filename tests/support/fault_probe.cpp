// forgeval with test-only worker bodies in place of the stress tests: the real start-up,
// driver, dispatch, worker frame, fault translation and reporting, with bodies that fault or
// fail on purpose. Usage: fault_probe CONFIG BODY...; each BODY names one test of the table,
// whose section in CONFIG holds its "CPU" list. DriverFault instead faults in the driver.
// MemoryWithBadCell runs the real memory test (section "Memory") with one bad cell under
// worker 1's first block, Sort the real sort test (section "SortAlgorithms"); SmallTransform
// and SmallMatrix run the real transform and matrix bodies at a small size.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "faults.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/run_log.h"
#include "run/ini_file.h"
#include "run/run_driver.h"
#include "stress/fft_test.h"
#include "stress/matrix_test.h"
#include "stress/memory_test.h"
#include "stress/pass_seam.h"
#include "stress/sort_test.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

void Pass(int index) {
  ReportProgress(index, "Passing...");
  ReportProgress(index, "Passing...[Done]");
}
void NullRead(int) { FaultNullRead(); }
void StackOverflow(int) { testing::OverflowStack(); }
// Faults in a thread of its own, which has no translation: the process ends the default way.
void UntranslatedFault(int) {
  std::thread([] { FaultNullRead(); }).join();
}
// Works in small steps until the run is interrupted.
void Spin(int index) {
  ReportProgress(index, "Spinning...");
  for (;;) {
    StopIfInterrupted();
    usleep(1000);
  }
}
// Half way through its work, for a while.
void Slow(int index) {
  ReportProgress(index, "Working...");
  ReportWorkProgress(index, 0.5);
  for (int i = 0; i < 80; ++i) {
    StopIfInterrupted();
    usleep(10000);
  }
  ReportProgress(index, "Working...[Done]");
}
// Never looks at the interrupt.
void Deaf(int) {
  for (;;) usleep(1000);
}
void SmallTransform(int index) { RunFftTest(index, 48); }
void SmallMatrix(int index) { RunMatrixTest(index, 5); }
void FailedCheck(int index) {
  char text[64];
  snprintf(text, sizeof text, "[***ERROR Thread %d : planted failure ***]", index);
  ReportTestError(text);
}

// A cell of worker 1's first block that reads back 0x01 once every other cell holds 0x55.
void BadCellUnderWorker1(const PassPoint& point) {
  if (point.kind == PassKind::kDramFilled && point.worker_index == 1 && point.block == 0 &&
      point.fill_value == 0x55) {
    static_cast<volatile unsigned char*>(point.data)[4096] = 0x01;
  }
}

template <WorkerBody body>
uint32_t Entry(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), body, CatchClauses::kStandard);
}

struct Named {
  const char* name;
  WorkerEntry entry;
  const char* section = nullptr;  // the configuration section it reads; its name when null
  PassHook hook = nullptr;        // installed when the body is named
};
const Named kBodies[] = {
    {"Pass", &Entry<&Pass>},
    {"NullRead", &Entry<&NullRead>},
    {"StackOverflow", &Entry<&StackOverflow>},
    {"UntranslatedFault", &Entry<&UntranslatedFault>},
    {"FailedCheck", &Entry<&FailedCheck>},
    {"Spin", &Entry<&Spin>},
    {"Slow", &Entry<&Slow>},
    {"Deaf", &Entry<&Deaf>},
    {"SmallTransform", &Entry<&SmallTransform>},
    {"SmallMatrix", &Entry<&SmallMatrix>},
    {"MemoryWithBadCell", &MemoryTestThread, "Memory", &BadCellUnderWorker1},
    {"Sort", &SortTestThread, "SortAlgorithms"},
};

}  // namespace
}  // namespace forgeval

int main(int argc, char** argv) {
  using namespace forgeval;
  ConsoleInit();
  IniFile ini_file;
  RunLog run_log;
  EventReporter event_reporter;
  std::vector<TestEntry> table;
  for (int i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "DriverFault") == 0) {
      // A section name the driver cannot read: a wild pointer, read on the main thread.
      table.push_back(
          {reinterpret_cast<const char*>(16), "", &Entry<&Pass>, WorkerList::kPerProcessor});
    }
    for (const Named& body : kBodies) {
      if (strcmp(argv[i], body.name) != 0) continue;
      if (body.hook != nullptr) SetPassHookForTesting(body.hook);
      table.push_back({body.section != nullptr ? body.section : body.name,
                       "[***ERROR: Probe : ", body.entry, WorkerList::kPerProcessor});
    }
  }
  return RunDriver(argc > 1 ? 2 : 1, argv, table);
}
