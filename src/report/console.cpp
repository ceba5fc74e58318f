#include "report/console.h"

#include <cstdarg>
#include <cstdio>

namespace forgeval {

void ConsoleInit() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void ConsolePrint(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
}

void ConsoleWrite(std::string_view text) { fwrite(text.data(), 1, text.size(), stdout); }

void DebugOutput(std::string_view text) { fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace forgeval
