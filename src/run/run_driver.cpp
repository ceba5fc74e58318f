#include "run/run_driver.h"

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
#include "run/health_check.h"
#include "run/ini_file.h"
#include "run/time_limit.h"
#include "run/worker_dispatch.h"
#include "stress/worker_frame.h"

namespace forgeval {
namespace {

constexpr const char* kDefaultIniPath = ".\\forgeval.ini";
constexpr const char* kDefaultLogFile = ".\\forgeval.Log";
constexpr const char* kDefaultResultFile = "forgeval.results.jsonl";
constexpr const char* kPassedVerdict = "All tests passed successfully.";
constexpr const char* kFailedVerdict = "Error: Some of the tests failed.";

// A line for the operator that goes to console and log.
void LogAndPrint(const std::string& line) {
  LogMessage("%s", line.c_str());
  ConsolePrint("%s\n", line.c_str());
}

void StartUp(int argc, char** argv) {
  ConsolePrint("Forgeval %s", kProgramVersion);
  ConsolePrint("\n------------------------------------------------------------------\n");
  RegisterEventLogSource();  // When nobody listens, errors simply reach no system log.
  IniFile::Instance()->SetPath(argc > 1 ? argv[1] : kDefaultIniPath);
  IniFile::Instance()->SetWarningSink(LogAndPrint);
  std::string log_file = IniReadString("Main", "LogFile", kDefaultLogFile);
  LogOpen(log_file.substr(0, kLogFileNameLength));
  if (RunLog* log = RunLog::Instance()) {
    log->SetLineWriting(true);
    log->SetTimestamps(true);
  }
  RecordJson health_sources = HealthStartUp();
  for (const std::string& warning : ConfigurationWarnings(IniFile::Instance()->path())) {
    LogAndPrint(warning);
  }
  RunRecordOpen(platform::ProgramFolder(), IniReadString("Main", "ResultFile", kDefaultResultFile));
  RecordRunStart(kProgramVersion, IniFile::Instance()->path(), platform::RealSystemQueries(),
                 health_sources);
}

// How a pass went.
struct PassOutcome {
  bool ran_a_test = false;  // at least one test was enabled
  bool stopped = false;     // a stop request ended it before its last test ended
  std::string cut_short;    // the test whose workers it stopped, as the console names it
};

// The test's name in the run's own lines: the section, but "Sort" for the sort tests.
std::string ConsoleTestName(const TestEntry& test) {
  return std::string_view(test.section) == "SortAlgorithms" ? "Sort" : test.section;
}

// `pass_count` 0: passes until the time limit, shown without a count.
PassOutcome RunPass(int32_t pass_number, int32_t pass_count, std::span<const TestEntry> tests) {
  LogBlankLine();
  const std::string of = pass_count > 0 ? " of " + std::to_string(pass_count) : "";
  LogMessage("--- Loop %d%s ---", pass_number, of.c_str());
  ConsolePrint("--- Loop %d%s ---\n", pass_number, of.c_str());
  PassOutcome outcome;
  for (const TestEntry& test : tests) {
    // Read at this moment: the file may have been edited since the last pass.
    if (!IniReadBool(test.section, "Enabled", true)) continue;
    if (platform::StopRequested()) {
      outcome.stopped = true;
      break;
    }
    outcome.ran_a_test = true;
    SetLiveStage(pass_number, pass_count, test.section);
    const bool cut = DispatchTest(test, pass_number);
    HealthAfterTest(test.section, pass_number);  // a change belongs to the test that just ran
    if (cut) {
      outcome.stopped = true;
      outcome.cut_short = ConsoleTestName(test);
      break;
    }
  }
  return outcome;
}

// The line that says how a run ended by its time limit ended: in a pass (and in which test)
// or between two passes.
std::string TimeUpLine(const std::string& limit, int32_t passes_done, const PassOutcome& last) {
  std::string line = "Time limit of " + limit + " reached ";
  if (!last.stopped) {
    return line + (passes_done == 0 ? std::string("before the first pass.")
                                    : "after pass " + std::to_string(passes_done) + ".");
  }
  line += "during pass " + std::to_string(passes_done + 1);
  if (!last.cut_short.empty()) line += " (the " + last.cut_short + " test was cut short)";
  return line + ".";
}

// The end of a run the operator interrupted: no pass verdict, since not everything ran;
// the errors found until then are still named. The exit status is the shell's 128 + signal.
int EndInterrupted(bool failed, RecordJson health) {
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
                .ended_by = "interrupt",
                .tested = TestedSoFar().tested,
                .syslog_dropped = DroppedErrorEvents(),
                .health = std::move(health)});
  return 128 + signal_number;
}

int RunPasses(int argc, char** argv, std::span<const TestEntry> tests) {
  StartUp(argc, argv);
  const DurationSetting duration = ParseDuration(IniReadString("Main", "Duration", ""));
  // With a time limit and no Loop value, passes repeat until the time is up. Counts of 2^31
  // and more are negative as signed numbers and run no pass.
  const bool until_time_up = duration.seconds > 0 && IniReadString("Main", "Loop", "").empty();
  const int32_t pass_count =
      until_time_up ? 0 : static_cast<int32_t>(IniReadInt("Main", "Loop", 1));
  SetLiveTimeLimit(static_cast<long>(duration.seconds));
  ClearTestedSoFar();
  StartLiveStatus();
  int32_t passes_done = 0;
  int passes_started = 0;
  int passes_with_a_test = 0;
  PassOutcome last;
  bool stopped = false;  // by a stop request, before the last pass had ended
  {
    const TimeLimit time_limit(duration.seconds);
    while (!stopped && passes_done < (until_time_up ? INT32_MAX : pass_count)) {
      stopped = platform::StopRequested();
      if (stopped) break;
      last = RunPass(passes_done + 1, pass_count, tests);
      ++passes_started;
      if (last.ran_a_test) ++passes_with_a_test;
      stopped = last.stopped;
      if (!stopped) ++passes_done;
      // A pass with every test switched off would only repeat its pass line until the time
      // is up.
      if (until_time_up && !last.ran_a_test) break;
    }
  }
  StopLiveStatus();

  RecordJson health = HealthEnd();  // its failing events count for the verdict
  const bool failed = FailureFlagRaised();
  const platform::StopReason reason = platform::StopRequestReason();
  if (reason != platform::StopReason::kInterrupt) {
    // A verdict of "passed" must not hide that something was not tested.
    for (const std::string& line :
         UntestedLines(until_time_up ? INT32_MAX : pass_count, passes_started, passes_with_a_test,
                       TestedSoFar(), failed)) {
      LogAndPrint(line);
    }
  }
  LogBlankLine();
  if (reason == platform::StopReason::kInterrupt) return EndInterrupted(failed, std::move(health));
  // A time limit that ran out after the last pass ended nothing.
  const bool time_up = reason == platform::StopReason::kTimeLimit && stopped;
  if (time_up) {
    const std::string line = TimeUpLine(duration.shown, passes_done, last);
    LogMessage("%s", line.c_str());
    ConsolePrint("\n%s", line.c_str());
  }
  const char* verdict = failed ? kFailedVerdict : kPassedVerdict;
  LogMessage("%s", verdict);
  ConsolePrint("\n%s\n", verdict);
  RecordRunEnd({.verdict = verdict,
                .exit_code = failed ? 1 : 0,
                .interrupted = false,
                .ended_by = time_up ? "duration" : "passes",
                .tested = TestedSoFar().tested,
                .syslog_dropped = DroppedErrorEvents(),
                .health = std::move(health)});
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
                  .ended_by = "fault",
                  .tested = TestedSoFar().tested,
                  .syslog_dropped = DroppedErrorEvents(),
                  .health = nullptr});  // the hardware's reports were not read to the end
    // The main thread ends here, without the orderly shut-down: no log footer.
    fflush(stdout);
    std::_Exit(kDriverFaultExitCode);
  }
}

std::vector<std::string> UntestedLines(int32_t pass_count, int passes_started,
                                       int passes_with_a_test, const RunTested& tested,
                                       bool failed) {
  if (pass_count <= 0) return {"Nothing was tested: Loop is " + std::to_string(pass_count)};
  if (passes_started > 0 && passes_with_a_test == 0) {
    return {"Nothing was tested: every test is disabled"};
  }
  std::vector<std::string> lines = tested.untested;
  if (!tested.tested && !failed && lines.empty()) {
    lines.push_back("Nothing was tested: no worker completed");
  }
  return lines;
}

}  // namespace forgeval
