// "forgeval --summarize [--all-runs] [--json] [--junit FILE] [--html FILE] RECORD-FILE...":
// reads the run records of many machines and prints the fleet summary (a table, or JSON with
// --json) on standard output; --junit and --html also write those files. Bad lines and
// unreadable files are named on standard error as well.
//
// Exit status: 0 when every machine passed and every file was read whole, 1 otherwise, 2 for
// a usage error (an unknown option, an option without its file, no record file, an output
// file that cannot be written).
#ifndef FORGEVAL_SUMMARY_SUMMARIZE_COMMAND_H_
#define FORGEVAL_SUMMARY_SUMMARIZE_COMMAND_H_

namespace forgeval {

inline constexpr const char* kSummarizeOption = "--summarize";

// Runs the command; argv[1] is "--summarize". Returns the exit status.
int SummarizeCommand(int argc, char** argv);

}  // namespace forgeval

#endif  // FORGEVAL_SUMMARY_SUMMARIZE_COMMAND_H_
