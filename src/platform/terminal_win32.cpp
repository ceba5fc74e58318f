// The operator's console on Windows. The acknowledgement is a system-modal message box. While
// it is open, a timer of the box's own thread looks a few times a second whether the run was
// asked to stop (Ctrl+C, the time limit) and then takes the box down, so a stop request does
// not wait for the operator, as the terminal prompt on Linux does not.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/interrupt.h"
#include "platform/terminal.h"

namespace forgeval::platform {
namespace {

constexpr UINT kStopPollMs = 200;

// Set by the timer when it took this thread's box down for a stop request.
thread_local bool t_taken_down = false;

BOOL CALLBACK CloseDialog(HWND window, LPARAM) {
  char class_name[16] = "";
  GetClassNameA(window, class_name, sizeof class_name);
  // The message box is a dialog ("#32770"); closing it answers it as its OK button would.
  if (std::string_view(class_name) == "#32770") PostMessageA(window, WM_CLOSE, 0, 0);
  return TRUE;
}

void CALLBACK TakeDownOnStop(HWND, UINT, UINT_PTR, DWORD) {
  if (!StopRequested() || t_taken_down) return;
  t_taken_down = true;
  EnumThreadWindows(GetCurrentThreadId(), &CloseDialog, 0);
}

bool IsConsole(DWORD standard_handle, DWORD* mode) {
  return GetConsoleMode(GetStdHandle(standard_handle), mode) != 0;
}

}  // namespace

void SetUpStandardOutput() {
  _setmode(_fileno(stdout), _O_TEXT);
  setvbuf(stdout, nullptr, _IONBF, 0);
  DWORD mode = 0;
  if (IsConsole(STD_OUTPUT_HANDLE, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0)
    SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool StandardOutputIsTerminal() {
  // A console without cursor controls (before Windows 10) would show them as text; the NUL
  // device passes _isatty but is no console.
  DWORD mode = 0;
  return IsConsole(STD_OUTPUT_HANDLE, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool OperatorCanAnswer() {
  DWORD mode = 0;
  if (!IsConsole(STD_INPUT_HANDLE, &mode)) return false;
  // A program the task scheduler starts without a logged-on user still gets a console, but its
  // window station is not shown on any screen: a box there would wait for ever.
  USEROBJECTFLAGS flags{};
  return GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                   nullptr) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

bool AwaitAcknowledgement(std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (StopRequested()) return false;
  const std::string message(text), title(kAcknowledgementTitle);
  t_taken_down = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, kStopPollMs, &TakeDownOnStop);
  // Without a display or a desktop the box cannot be created and the call fails at once.
  const int answer =
      MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
  if (timer != 0) KillTimer(nullptr, timer);
  return answer > 0 && !t_taken_down;
}

}  // namespace forgeval::platform
