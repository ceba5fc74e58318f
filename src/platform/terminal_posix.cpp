#include "platform/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/interrupt.h"

namespace forgeval::platform {

bool StandardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void WriteToTerminal(std::string_view text) {
  UniqueFd terminal(open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY));
  WriteAll(terminal.valid() ? terminal.get() : STDERR_FILENO, text);
}

bool WaitForEnter() {
  for (;;) {
    // Looked at a few times a second, so a run asked to stop does not wait for the operator.
    if (StopRequested()) return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 200) <= 0) continue;
    char c;
    ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    if (c == '\n') return true;
  }
}

}  // namespace forgeval::platform
