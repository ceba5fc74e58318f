// forgeval with test-only worker bodies in place of the stress tests: the real start-up, driver,
// dispatch, worker frame, fault translation and reporting, with bodies that fault or fail on
// purpose. Usage: fault_probe CONFIG BODY...; each BODY names one test, whose section in CONFIG
// holds its "CPU" list. DriverFault faults in the driver instead; MemoryWithBadCell runs the
// real memory test (section "Memory") with a bad cell under worker 1's first block.
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
#include "stress/fft.h"
#include "stress/memory.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

template <void (*body)(int)>
uint32_t Entry(uintptr_t argument) {
  return RunTestWorker(static_cast<int>(argument), body, CatchClauses::kStandard);
}

const std::pair<const char*, WorkerEntry> kBodies[] = {
    {"Pass", &Entry<[](int index) {
       ReportProgress(index, "Passing...");
       ReportProgress(index, "Passing...[Done]");
     }>},
    {"NullRead", &Entry<[](int) { FaultNullRead(); }>},
    {"DivideByZero", &Entry<[](int) { FaultDivideByZero(); }>},
    {"IllegalInstruction", &Entry<[](int) { FaultIllegalInstruction(); }>},
    {"StackOverflow", &Entry<[](int) { testing::OverflowStack(); }>},
    // A thread of its own has no translation: the process ends the default way.
    {"UntranslatedFault", &Entry<[](int) { std::thread([] { FaultNullRead(); }).join(); }>},
    {"FailedCheck", &Entry<[](int index) {
       char text[64];
       snprintf(text, sizeof text, "[***ERROR Thread %d : planted failure ***]", index);
       ReportTestError(text);
     }>},
    // Half way through its work until the run is interrupted.
    {"Spin", &Entry<[](int index) {
       ReportProgress(index, "Spinning...");
       ReportWorkProgress(index, 0.5);
       for (;;) StopIfRequested(), usleep(1000);
     }>},
    {"Deaf", &Entry<[](int) {  // never looks at the interrupt
       for (;;) usleep(1000);
     }>},
    {"SmallTransform", &Entry<[](int index) { RunFftTest(index, 48); }>},
};

// A cell of worker 1's first block that reads back 0x01 once every other cell holds 0x55.
void BadCellUnderWorker1(const PassPoint& point) {
  if (point.kind == PassKind::kDramFilled && point.worker_index == 1 && point.block == 0 &&
      point.fill_value == 0x55) {
    static_cast<volatile unsigned char*>(point.data)[4096] = 0x01;
  }
}

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
    if (strcmp(argv[i], "DriverFault") == 0) {  // a section name the driver cannot read
      table.push_back(
          {reinterpret_cast<const char*>(16), "", kBodies[0].second, WorkerList::kPerProcessor});
    } else if (strcmp(argv[i], "MemoryWithBadCell") == 0) {
      SetPassHookForTesting(&BadCellUnderWorker1);
      table.push_back({"Memory", "", &MemoryTestThread, WorkerList::kPerProcessor});
    }
    for (const auto& [name, entry] : kBodies) {
      if (strcmp(argv[i], name) == 0) table.push_back({name, "", entry, WorkerList::kPerProcessor});
    }
  }
  return RunDriver(argc > 1 ? 2 : 1, argv, table);
}
