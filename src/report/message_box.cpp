#include "report/message_box.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/terminal.h"
#include "report/console.h"
#include "report/live_status.h"

namespace forgeval {
namespace {

constexpr std::string_view kTitle = " Forgeval ";
constexpr std::string_view kAcknowledge = "Press Enter to continue";

std::mutex g_prompt_mutex;
// Once standard input has ended, no later prompt can be answered either.
bool g_input_ended = false;  // guarded by g_prompt_mutex

}  // namespace

std::string FramedPrompt(std::string_view text) {
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
  size_t width = kTitle.size() + 2;
  for (std::string_view line : lines) width = std::max(width, line.size());

  std::string frame =
      "\n+-" + std::string(kTitle) + std::string(width - kTitle.size() + 1, '-') + "+\n";
  for (std::string_view line : lines) {
    frame += "| ";
    frame += line;
    frame += std::string(width - line.size(), ' ') + " |\n";
  }
  frame += "+" + std::string(width + 2, '-') + "+\n";
  return frame;
}

void MessageBox(std::string_view text) {
  if (!platform::StandardInputIsTerminal()) return;
  std::lock_guard<std::mutex> lock(g_prompt_mutex);
  if (g_input_ended) return;
  PauseLiveStatus();
  platform::WriteToTerminal(FramedPrompt(EscapeControlBytes(text)));
  if (!platform::WaitForEnter()) g_input_ended = true;
  ResumeLiveStatus();
}

}  // namespace forgeval
