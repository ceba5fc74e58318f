#include "run/command_line.h"

#include <cstdio>
#include <cstring>

#include "run/run_driver.h"

namespace forgeval {

CommandAction ParseCommandLine(int argc, char** argv) {
  if (argc < 2) return CommandAction::kRun;
  const char* first = argv[1];
  if (strcmp(first, "-h") == 0 || strcmp(first, "--help") == 0) return CommandAction::kHelp;
  if (strcmp(first, "--version") == 0) return CommandAction::kVersion;
  if (strncmp(first, "--", 2) == 0) return CommandAction::kUsageError;
  return CommandAction::kRun;
}

std::string HelpText() {
  return R"(Usage: forgeval [CONFIG]
       forgeval --help | --version

Forgeval is a burn-in stress test. Pass after pass it runs its self-checking tests
(memory, cache, fast Fourier transform, sorts, integer matrix, disk) as worker threads
pinned to the configured processors, reports every step on the console and in a log file
beside the program, sends every error to the system log, and ends with a one-line verdict.

CONFIG is the configuration file (default: forgeval.ini in the current folder). Every key
is optional; a missing file, section or key takes its default.

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
  2    usage error
  129, 130, 143  interrupted by SIGHUP, SIGINT or SIGTERM
  255  a processor fault in the program's own driver ended the run

Ctrl+C, SIGTERM or SIGHUP stops the run cleanly; a second of them ends it at once.
SIGPIPE, SIGUSR1 and SIGALRM are ignored. When the Duration is up, the workers stop
the same way and the run ends with its verdict (exit status 0 or 1).
)";
}

std::string UsageErrorText(const std::string& argument) {
  return "forgeval: unknown option '" + argument +
         "'\nUsage: forgeval [CONFIG]\nTry 'forgeval --help' for more information.\n";
}

int HandleCommandLine(int argc, char** argv) {
  switch (ParseCommandLine(argc, argv)) {
    case CommandAction::kRun:
      return -1;
    case CommandAction::kHelp:
      fputs(HelpText().c_str(), stdout);
      return 0;
    case CommandAction::kVersion:
      printf("Forgeval %s\n", kProgramVersion);
      return 0;
    case CommandAction::kUsageError:
      fputs(UsageErrorText(argv[1]).c_str(), stderr);
      return kUsageErrorExitCode;
  }
  return -1;
}

}  // namespace forgeval
