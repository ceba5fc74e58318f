// forgeval with test-only worker bodies in place of the stress tests: the real start-up, driver,
// dispatch, worker frame, fault translation and reporting, with bodies that fault or fail on
// purpose. Usage: fault_probe CONFIG BODY...; each BODY names one test, whose section in CONFIG
// holds its "CPU" list. DriverFault faults in the driver instead. MemoryWithBadCell runs the
// real memory test (section "Memory") with one bad cell under worker 1's first block.
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
#include "stress/memory_test.h"
#include "stress/pass_seam.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

void Pass(int index) {
  ReportProgress(index, "Passing...");
  ReportProgress(index, "Passing...[Done]");
}
void NullRead(int) { FaultNullRead(); }
void DivideByZero(int) { FaultDivideByZero(); }
void IllegalInstruction(int) { FaultIllegalInstruction(); }
void StackOverflow(int) { testing::OverflowStack(); }
// Faults in a thread of its own, which has no translation: the process ends the default way.
void UntranslatedFault(int) {
  std::thread([] { FaultNullRead(); }).join();
}
// Half way through its work until the run is interrupted.
void Spin(int index) {
  ReportProgress(index, "Spinning...");
  ReportWorkProgress(index, 0.5);
  for (;;) {
    StopIfInterrupted();
    usleep(1000);
  }
}
void Deaf(int) {  // never looks at the interrupt
  for (;;) usleep(1000);
}
void SmallTransform(int index) { RunFftTest(index, 48); }
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

const std::pair<const char*, WorkerEntry> kBodies[] = {
    {"Pass", &Entry<&Pass>},
    {"NullRead", &Entry<&NullRead>},
    {"DivideByZero", &Entry<&DivideByZero>},
    {"IllegalInstruction", &Entry<&IllegalInstruction>},
    {"StackOverflow", &Entry<&StackOverflow>},
    {"UntranslatedFault", &Entry<&UntranslatedFault>},
    {"FailedCheck", &Entry<&FailedCheck>},
    {"Spin", &Entry<&Spin>},
    {"Deaf", &Entry<&Deaf>},
    {"SmallTransform", &Entry<&SmallTransform>},
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
    const char* error_prefix = "[***ERROR: Probe : ";
    if (strcmp(argv[i], "DriverFault") == 0) {
      // A section name the driver cannot read: a wild pointer, read on the main thread.
      table.push_back(
          {reinterpret_cast<const char*>(16), "", &Entry<&Pass>, WorkerList::kPerProcessor});
    } else if (strcmp(argv[i], "MemoryWithBadCell") == 0) {
      SetPassHookForTesting(&BadCellUnderWorker1);
      table.push_back({"Memory", error_prefix, &MemoryTestThread, WorkerList::kPerProcessor});
    }
    for (const auto& [name, entry] : kBodies) {
      if (strcmp(argv[i], name) == 0)
        table.push_back({name, error_prefix, entry, WorkerList::kPerProcessor});
    }
  }
  return RunDriver(argc > 1 ? 2 : 1, argv, table);
}
