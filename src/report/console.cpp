#include "report/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "report/live_status.h"

namespace forgeval {

void ConsoleInit() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void ConsolePrint(const char* format, ...) {
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof text) {
    WriteAroundStatus(std::string_view(text, static_cast<size_t>(length)));
    return;
  }
  std::string long_text(static_cast<size_t>(length) + 1, '\0');
  va_start(arguments, format);
  vsnprintf(long_text.data(), long_text.size(), format, arguments);
  va_end(arguments);
  long_text.pop_back();
  WriteAroundStatus(long_text);
}

void ConsoleWrite(std::string_view text) { WriteAroundStatus(text); }

void DebugOutput(std::string_view text) { fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace forgeval
