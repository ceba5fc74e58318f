// The operator's acknowledgement of an error (the platform's message box, on Linux a framed
// prompt on the terminal). It is shown only when an operator can answer (standard input is
// the operator's terminal or console); otherwise the call returns at once. Prompts of several
// failing workers are shown one at a time, each waiting for its own answer, with the live
// status off the screen meanwhile. Once nobody can answer any more (input ended, no display,
// the run asked to stop), no later prompt is shown.
#ifndef FORGEVAL_REPORT_MESSAGE_BOX_H_
#define FORGEVAL_REPORT_MESSAGE_BOX_H_

#include <string_view>

namespace forgeval {

void MessageBox(std::string_view text);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_MESSAGE_BOX_H_
