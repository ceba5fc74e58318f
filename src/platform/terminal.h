// The operator's terminal, where the program asks for an acknowledgement of an error.
#ifndef FORGEVAL_PLATFORM_TERMINAL_H_
#define FORGEVAL_PLATFORM_TERMINAL_H_

#include <string_view>

namespace forgeval::platform {

// True when standard input is a terminal, i.e. an operator can answer.
bool StandardInputIsTerminal();

// True when standard output is a terminal (an operator watches it, rather than a file or pipe).
bool StandardOutputIsTerminal();

// Writes `text` to the controlling terminal (/dev/tty), or to standard error when there is
// none, so a prompt reaches the operator even when standard output goes to a file.
void WriteToTerminal(std::string_view text);

// Reads standard input up to and including the next line feed. False at end of input, on a
// read error, or when the run is interrupted.
bool WaitForEnter();

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_TERMINAL_H_
