// Forgeval: a console stress test for qualifying and burning in hardware.
//
// The process-wide objects are built here in their order (configuration, run log, event
// reporter) and destroyed in the reverse order when the driver has returned: the event
// source is closed, then the run log writes its footer.
#include "platform/process.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/run_log.h"
#include "run/command_line.h"
#include "run/ini_file.h"
#include "run/run_driver.h"
#include "run/test_table.h"

int main(int argc, char** argv) {
  forgeval::platform::OpenClosedStandardDescriptors();
  if (int status = forgeval::HandleCommandLine(argc, argv); status >= 0) return status;
  forgeval::ConsoleInit();
  forgeval::IniFile ini_file;
  forgeval::RunLog run_log;
  forgeval::EventReporter event_reporter;
  return forgeval::RunDriver(argc, argv, forgeval::BuiltTests());
}
