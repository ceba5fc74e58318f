// The command line: "forgeval [CONFIG]". The first argument, when present, is the path of the
// configuration file and further arguments are ignored, except for the options below. An
// argument that looks like an option but is not one, and a configuration file that cannot be
// read, are usage errors: running the built-in defaults instead (a sort of twenty million
// elements among them) would hide the mistake behind a long run.
#ifndef FORGEVAL_RUN_COMMAND_LINE_H_
#define FORGEVAL_RUN_COMMAND_LINE_H_

#include <string>

namespace forgeval {

enum class CommandAction {
  kRun,         // run with argv[1] (or the default) as the configuration path
  kHelp,        // -h, --help
  kVersion,     // --version
  kUsageError,  // any other argument beginning with "-"
};

// Exit status of a usage error.
inline constexpr int kUsageErrorExitCode = 2;

CommandAction ParseCommandLine(int argc, char** argv);

// The --help text: usage, the configuration keys in brief, the files written, exit codes.
std::string HelpText();

// The usage error for `argument`, for standard error.
std::string UsageErrorText(const std::string& argument);

// The usage error for a configuration file `path` that cannot be read because of `reason`.
std::string ConfigurationErrorText(const std::string& path, const std::string& reason);

// Acts on the options: prints help, version or the usage error and returns the exit status,
// or returns -1 when the program should run. A configuration path given on the command line
// must name an ordinary file that can be read.
int HandleCommandLine(int argc, char** argv);

}  // namespace forgeval

#endif  // FORGEVAL_RUN_COMMAND_LINE_H_
