// The run driver: the body of the main thread. It prints the banner, registers the event
// source, locates the configuration file, opens the log, runs the configured number of
// passes over the tests in their fixed order (each enabled test through the worker
// dispatch), and ends with the verdict. It never inspects test results: everything it knows
// about success comes from the failure flag.
//
// The process-wide IniFile, RunLog and EventReporter must exist before it is called.
#ifndef FORGEVAL_RUN_RUN_DRIVER_H_
#define FORGEVAL_RUN_RUN_DRIVER_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "run/test_table.h"
#include "run/worker_dispatch.h"

namespace forgeval {

// The program's version, as the banner ("Forgeval 1.3") and the run record show it.
inline constexpr const char* kProgramVersion = "1.3";

// Longest `LogFile` name the driver uses; a longer value is cut.
inline constexpr size_t kLogFileNameLength = 29;

// Exit status of a run that a processor fault in the driver's own code ended.
inline constexpr int kDriverFaultExitCode = 255;

// Runs the whole run and returns the exit code: 0 when no error was reported, 1 when one
// was. `argv[1]`, when present, is the configuration path; further arguments are ignored.
// A processor fault in the driver itself takes the error path and ends the process with
// kDriverFaultExitCode, without the orderly shut-down. A run interrupted by SIGINT or SIGTERM
// stops after the workers of the current test have stopped and returns 128 + the signal.
int RunDriver(int argc, char** argv, std::span<const TestEntry> tests);

// The lines shown before the verdict that say what the run did not test: one when `Loop`
// runs no pass ("Nothing was tested: Loop is 0"; `pass_count` is INT32_MAX when passes repeat
// until a time limit), when no test was enabled in any pass that started, or when no worker
// completed in a run that found no error (a failed run says so itself); otherwise the texts
// of workers that completed without testing anything ("The Memory test allocated 0 MB").
std::vector<std::string> UntestedLines(int32_t pass_count, int passes_started,
                                       int passes_with_a_test, const RunTested& tested,
                                       bool failed);

}  // namespace forgeval

#endif  // FORGEVAL_RUN_RUN_DRIVER_H_
