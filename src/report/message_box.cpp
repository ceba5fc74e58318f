#include "report/message_box.h"

#include <mutex>

#include "platform/terminal.h"
#include "report/console.h"
#include "report/live_status.h"

namespace forgeval {
namespace {

std::mutex g_prompt_mutex;
// Once nobody could answer a prompt, no later prompt can be answered either.
bool g_input_ended = false;  // guarded by g_prompt_mutex

}  // namespace

void MessageBox(std::string_view text) {
  if (!platform::OperatorCanAnswer()) return;
  std::lock_guard<std::mutex> lock(g_prompt_mutex);
  if (g_input_ended) return;
  PauseLiveStatus();
  if (!platform::AwaitAcknowledgement(EscapeControlBytes(text))) g_input_ended = true;
  ResumeLiveStatus();
}

}  // namespace forgeval
