#include "run/command_line.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/process.h"
#include "report/console.h"
#include "run/run_driver.h"
#include "summary/summarize_command.h"

namespace forgeval {

namespace {

CommandAction ActionOf(const char* argument) {
  if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) return CommandAction::kHelp;
  if (strcmp(argument, "--version") == 0) return CommandAction::kVersion;
  if (argument[0] == '-') return CommandAction::kUsageError;
  return CommandAction::kRun;
}

// The first argument that begins with "-"; null when there is none.
const char* FirstOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') return argv[i];
  }
  return nullptr;
}

}  // namespace

// The first option decides; a configuration path and further arguments are no options.
CommandAction ParseCommandLine(int argc, char** argv) {
  const char* option = FirstOption(argc, argv);
  return option == nullptr ? CommandAction::kRun : ActionOf(option);
}

std::string HelpText() {
  return R"(Usage: forgeval [CONFIG]
       forgeval --summarize [--all-runs] [--json] [--junit FILE] [--html FILE] RECORD...
       forgeval --help | --version

Forgeval is a burn-in stress test. Pass after pass it runs its self-checking tests
(memory, cache, fast Fourier transform, sorts, integer matrix, disk) as worker threads
pinned to the configured processors, reports every step on the console and in a log file
beside the program, sends every error to the system log, and ends with a one-line verdict.

CONFIG is the configuration file (default: forgeval.ini in the current folder). A CONFIG
that cannot be read is a usage error; a missing forgeval.ini runs every default with one
warning. Every key is optional; a missing section or key takes its default.

  [Main]            LogFile=.\forgeval.Log  log name beside the program (29 characters)
                    Loop=1                  number of passes
                    Duration=(none)         time limit: 90s, 45m, 12h, 2d or seconds;
                                            without Loop, passes repeat until it is up
                    ResultFile=forgeval.results.jsonl
                                            run record beside the program (empty: none)
  [Memory]          Enabled=true  CPU=0  MemSize=4
  [Cache]           Enabled=true  CPU=0
  [FFT]             Enabled=true  CPU=0
  [SortAlgorithms]  Enabled=true  CPU=0  ArraySize=20000000
  [Matrix]          Enabled=true  CPU=0
  [Disk]            Enabled=true  CPU=0  Drive=(none: folders to test)  Size=40
  [Health]          Enabled=true  MaxCorrectedMemoryErrors=0  ThrottlingIsError=false
                    the hardware's own error reports (ECC, machine checks, kernel
                    log, PCIe AER, SMART, temperatures) in the verdict

  CPU lists processors (0-63), one worker each; Drive lists folders, one worker each.

Files written:
  <program folder>/forgeval.Log        the run log, appended (the LogFile setting)
  <program folder>/forgeval.results.jsonl  the run record, JSON Lines, appended:
                                       run_start, worker_end per worker,
                                       health after a test with hardware events, run_end
  the system log (/dev/log)            one entry per error, tag "Forgeval"
  <program folder>/ERRORLOG.TXT, CRASH.DMP   after the first processor fault of a run
  temporary files in each Drive folder, deleted after use

Exit status:
  0    no error was reported
  1    at least one error was reported
  2    usage error: an unknown option, or a CONFIG that cannot be read
  129, 130, 143  interrupted by SIGHUP, SIGINT or SIGTERM
  255  a processor fault in the program's own driver ended the run

--summarize reads the run records of many machines (one JSON Lines file each, as the
Ansible role in deploy/ansible fetches them) and prints one line per host, its latest run
(--all-runs: every run): state, verdict, duration, passes, failed tests with their errors,
hardware events, and the fleet checks: FFT sums and matrix results that disagree with the
host's peers (same version and code path), memory, cache and disk rates and sort and FFT
times outside 0.7 to 1.3 of the median of the same processor model, runs without run_end.
--json prints it as JSON; --junit FILE and --html FILE also write JUnit XML and a
self-contained HTML page. Exit status 0 when every host passed and every file was read
whole, 1 otherwise, 2 for a usage error.

Ctrl+C, SIGTERM or SIGHUP stops the run cleanly; a second of them ends it at once.
SIGPIPE, SIGUSR1 and SIGALRM are ignored. When the Duration is up, the workers stop
the same way and the run ends with its verdict (exit status 0 or 1).
)";
}

constexpr const char* kUsageLines =
    "Usage: forgeval [CONFIG]\nTry 'forgeval --help' for more information.\n";

std::string UsageErrorText(const std::string& argument) {
  return "forgeval: unknown option '" + EscapeControlBytes(argument) + "'\n" + kUsageLines;
}

std::string ConfigurationErrorText(const std::string& path, const std::string& reason) {
  return "forgeval: the configuration file '" + EscapeControlBytes(path) + "' cannot be read (" +
         reason + "); nothing was run\n" + kUsageLines;
}

int HandleCommandLine(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], kSummarizeOption) == 0) return SummarizeCommand(argc, argv);
  switch (ParseCommandLine(argc, argv)) {
    case CommandAction::kRun: {
      if (argc < 2) return -1;
      int error = 0;
      if (platform::ReadWholeFile(platform::NativePath(argv[1]), &error)) return -1;
      fputs(ConfigurationErrorText(argv[1], platform::FileErrorText(error)).c_str(), stderr);
      return kUsageErrorExitCode;
    }
    case CommandAction::kHelp:
      fputs(HelpText().c_str(), stdout);
      return 0;
    case CommandAction::kVersion:
      printf("Forgeval %s\n", kProgramVersion);
      return 0;
    case CommandAction::kUsageError:
      fputs(UsageErrorText(FirstOption(argc, argv)).c_str(), stderr);
      return kUsageErrorExitCode;
  }
  return -1;
}

}  // namespace forgeval
