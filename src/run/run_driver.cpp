#include "run/run_driver.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "fault/se_exception.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/system_queries.h"
#include "report/console.h"
#include "report/event_reporter.h"
#include "report/failure_flag.h"
#include "report/live_status.h"
#include "report/run_log.h"
#include "report/run_record.h"
#include "run/config_check.h"
#include "run/ini_file.h"
#include "run/worker_dispatch.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

constexpr const char* kDefaultIniPath = ".\\forgeval.ini";
constexpr const char* kDefaultLogFile = ".\\forgeval.Log";
constexpr const char* kDefaultResultFile = "forgeval.results.jsonl";
constexpr const char* kPassedVerdict = "All tests passed successfully.";
constexpr const char* kFailedVerdict = "Error: Some of the tests failed.";

void StartUp(int argc, char** argv) {
  ConsolePrint("Forgeval %s", kProgramVersion);
  ConsolePrint("\n------------------------------------------------------------------\n");
  RegisterEventLogSource();  // When nobody listens, errors simply reach no system log.
  IniFile::Instance()->SetPath(argc > 1 ? argv[1] : kDefaultIniPath);
  std::string log_file = IniReadString("Main", "LogFile", kDefaultLogFile);
  LogOpen(log_file.substr(0, kLogFileNameLength));
  if (RunLog* log = RunLog::Instance()) {
    log->SetLineWriting(true);
    log->SetTimestamps(true);
  }
  for (const std::string& warning : ConfigurationWarnings(IniFile::Instance()->path())) {
    LogMessage("%s", warning.c_str());
    ConsolePrint("%s\n", warning.c_str());
  }
  RunRecordOpen(platform::ProgramFolder(), IniReadString("Main", "ResultFile", kDefaultResultFile));
  RecordRunStart(kProgramVersion, IniFile::Instance()->path(), platform::RealSystemQueries());
}

void RunPass(int32_t pass_number, int32_t pass_count, std::span<const TestEntry> tests) {
  LogBlankLine();
  LogMessage("--- Loop %d of %d ---", pass_number, pass_count);
  ConsolePrint("--- Loop %d of %d ---\n", pass_number, pass_count);
  for (const TestEntry& test : tests) {
    // Read at this moment: the file may have been edited since the last pass.
    if (!IniReadBool(test.section, "Enabled", true)) continue;
    SetLiveStage(pass_number, pass_count, test.section);
    DispatchTest(test, pass_number);
    if (platform::InterruptRequested()) return;
  }
}

// The end of a run the operator interrupted: no pass verdict, since not everything ran;
// the errors found until then are still named. The exit status is the shell's 128 + signal.
int EndInterrupted(bool failed) {
  const int signal_number = platform::InterruptSignal();
  const char* name = platform::InterruptSignalName(signal_number);
  LogMessage("Run interrupted (%s).", name);
  ConsolePrint("\nRun interrupted (%s).\n", name);
  std::optional<std::string> verdict;
  if (failed) {
    LogMessage("%s", kFailedVerdict);
    ConsolePrint("%s\n", kFailedVerdict);
    verdict = kFailedVerdict;
  }
  RecordRunEnd({.verdict = verdict,
                .exit_code = 128 + signal_number,
                .interrupted = true,
                .syslog_dropped = DroppedErrorEvents()});
  return 128 + signal_number;
}

int RunPasses(int argc, char** argv, std::span<const TestEntry> tests) {
  StartUp(argc, argv);
  // Counts of 2^31 and more are negative as signed numbers and run no pass.
  const int32_t pass_count = static_cast<int32_t>(IniReadInt("Main", "Loop", 1));
  StartLiveStatus();
  for (int32_t pass = 0; pass < pass_count && !platform::InterruptRequested(); ++pass) {
    RunPass(pass + 1, pass_count, tests);
  }
  StopLiveStatus();

  LogBlankLine();
  const bool failed = FailureFlagRaised();
  if (platform::InterruptRequested()) return EndInterrupted(failed);
  const char* verdict = failed ? kFailedVerdict : kPassedVerdict;
  LogMessage("%s", verdict);
  ConsolePrint("\n%s\n", verdict);
  RecordRunEnd({.verdict = verdict,
                .exit_code = failed ? 1 : 0,
                .interrupted = false,
                .syslog_dropped = DroppedErrorEvents()});
  return failed ? 1 : 0;
}

}  // namespace

int RunDriver(int argc, char** argv, std::span<const TestEntry> tests) {
  platform::InstallInterruptHandlers();
  SeTranslatorScope translator;
  ClearFailureFlag();
  try {
    int exit_code = 0;
    auto run = [&] { exit_code = RunPasses(argc, argv, tests); };
    RunTranslated(run);
    return exit_code;
  } catch (CSeException* exception) {
    std::string text;
    exception->GetErrorMessage(text);
    TakeErrorPath(text, exception);
    RecordRunEnd({.verdict = std::nullopt,
                  .exit_code = kDriverFaultExitCode,
                  .interrupted = false,
                  .syslog_dropped = DroppedErrorEvents()});
    // The main thread ends here, without the orderly shut-down: no log footer.
    fflush(stdout);
    std::_Exit(kDriverFaultExitCode);
  }
}

}  // namespace forgeval
