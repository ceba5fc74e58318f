// The operator's acknowledgement of an error. When standard input is a terminal, the error is
// shown framed on the terminal with "Press Enter to continue" and the caller waits until the
// operator presses Enter; prompts of several failing workers are shown one at a time, each
// waiting for its own Enter. When standard input is not a terminal (a pipe, a file, a
// service) nobody can answer, and the call returns at once.
#ifndef FORGEVAL_REPORT_MESSAGE_BOX_H_
#define FORGEVAL_REPORT_MESSAGE_BOX_H_

#include <string>
#include <string_view>

namespace forgeval {

void MessageBox(std::string_view text);

// The framed prompt for `text` (its trailing line feeds dropped).
std::string FramedPrompt(std::string_view text);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_MESSAGE_BOX_H_
