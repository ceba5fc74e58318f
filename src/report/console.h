// The console conventions: every line the operator sees goes to standard output through one
// call of the C runtime, so lines of several workers interleave whole. Standard output is
// line-buffered from the start, so lines reach a pipe or a file in order and a crash loses
// none that was printed.
#ifndef FORGEVAL_REPORT_CONSOLE_H_
#define FORGEVAL_REPORT_CONSOLE_H_

#include <string>
#include <string_view>

namespace forgeval {

// Makes every line leave for standard output as soon as it is written (platform::
// SetUpStandardOutput). Called once, before the first line.
void ConsoleInit();

// Formatted output to standard output in one call.
void ConsolePrint(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// A finished text (an error text) written unchanged: a '%' in it stays a '%'.
void ConsoleWrite(std::string_view text);

// `text` with every control byte below 0x20 other than tab and line feed (an escape sequence
// read from the configuration, say) written as "\x1b": such bytes are shown, never acted on
// by the terminal or hidden in the log. Every console, log and system-log line passes here.
std::string EscapeControlBytes(std::string_view text);

// The diagnostic channel for texts meant for whoever debugs the program, not the operator
// (the crash report's progress texts): standard error, unbuffered.
void DebugOutput(std::string_view text);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_CONSOLE_H_
