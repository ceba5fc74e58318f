// SCAFFOLD: console facts; the operator's acknowledgement becomes a message box.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/files.h"
#include "platform/terminal.h"

namespace forgeval::platform {

bool StandardInputIsTerminal() { return false; }
bool StandardOutputIsTerminal() { return _isatty(1) != 0; }
void WriteToTerminal(std::string_view text) { WriteAll(2, text); }
bool WaitForEnter() { return false; }

}  // namespace forgeval::platform
