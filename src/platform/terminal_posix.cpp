#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/interrupt.h"
#include "platform/terminal.h"

namespace forgeval::platform {
namespace {

constexpr std::string_view kAcknowledge = "Press Enter to continue";

// The error framed for the terminal, its title in the top rule.
std::string FramedPrompt(std::string_view text) {
  const std::string title = " " + std::string(kAcknowledgementTitle) + " ";
  std::vector<std::string_view> lines;
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  for (;;) {
    size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  lines.push_back("");
  lines.push_back(kAcknowledge);
  size_t width = title.size() + 2;
  for (std::string_view line : lines) width = std::max(width, line.size());

  std::string frame = "\n+-" + title + std::string(width - title.size() + 1, '-') + "+\n";
  for (std::string_view line : lines) {
    frame += "| ";
    frame += line;
    frame += std::string(width - line.size(), ' ') + " |\n";
  }
  frame += "+" + std::string(width + 2, '-') + "+\n";
  return frame;
}

// Writes `text` to the controlling terminal (/dev/tty), or to standard error when there is
// none, so a prompt reaches the operator even when standard output goes to a file.
void WriteToTerminal(std::string_view text) {
  UniqueFd terminal(open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY));
  WriteAll(terminal.valid() ? terminal.get() : STDERR_FILENO, text);
}

// Reads standard input up to and including the next line feed. False at end of input, on a
// read error, or when the run is asked to stop.
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

}  // namespace

void SetUpStandardOutput() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool OperatorCanAnswer() { return isatty(STDIN_FILENO) == 1; }

bool AwaitAcknowledgement(std::string_view text) {
  WriteToTerminal(FramedPrompt(text));
  return WaitForEnter();
}

}  // namespace forgeval::platform
