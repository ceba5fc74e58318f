// The operator's console: how standard output reaches the operator, and how the operator
// acknowledges an error.
//
// Linux: the acknowledgement is a framed prompt on the controlling terminal that waits for
// Enter. Windows: it is a system-modal message box (error icon, one OK button, title
// "Forgeval"). Either way it is only offered when standard input is the operator's own
// terminal or console, so a run with its input redirected (a script, a scheduler, a service)
// never waits for an answer nobody can give.
#ifndef FORGEVAL_PLATFORM_TERMINAL_H_
#define FORGEVAL_PLATFORM_TERMINAL_H_

#include <string_view>

namespace forgeval::platform {

// The title of the message box, and of the framed prompt.
inline constexpr std::string_view kAcknowledgementTitle = "Forgeval";

// Makes every text written to standard output leave the program as soon as it is written
// (line-buffered on Linux; unbuffered on Windows, whose C runtime buffers "line-buffered"
// streams fully), so lines reach a pipe or a file in order and a crash loses none. On Windows
// standard output stays in text mode, so a line reads as CR LF in a console or a redirected
// file, as every Windows program's output does; and a console is asked to interpret the cursor
// controls of the live status. Called once, before the first line.
void SetUpStandardOutput();

// True when standard output is a terminal an operator watches (on Windows a console that
// interprets the cursor controls), rather than a file or a pipe.
bool StandardOutputIsTerminal();

// True when an operator can answer an acknowledgement: standard input is a terminal (on
// Windows a console, on a window station shown on a screen; the NUL device, a pipe or a file is
// none, nor is a console of a scheduled task without a logged-on user).
bool OperatorCanAnswer();

// Shows the error `text` (its control bytes already escaped; trailing line feeds are dropped)
// and waits until the operator acknowledges it. False when nobody can answer any more: input
// ended or failed, no display or desktop to show the box on, or the run was asked to stop
// (the prompt or the box is then taken down by itself). The caller shows one at a time.
bool AwaitAcknowledgement(std::string_view text);

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_TERMINAL_H_
