#include "report/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/terminal.h"
#include "report/live_status.h"

namespace forgeval {

void ConsoleInit() { platform::SetUpStandardOutput(); }

std::string EscapeControlBytes(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 || c == '\t' || c == '\n') {
      escaped += c;
      continue;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
  }
  return escaped;
}

void ConsolePrint(const char* format, ...) {
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof text) {
    WriteAroundStatus(EscapeControlBytes(std::string_view(text, static_cast<size_t>(length))));
    return;
  }
  std::string long_text(static_cast<size_t>(length) + 1, '\0');
  va_start(arguments, format);
  vsnprintf(long_text.data(), long_text.size(), format, arguments);
  va_end(arguments);
  long_text.pop_back();
  WriteAroundStatus(EscapeControlBytes(long_text));
}

void ConsoleWrite(std::string_view text) { WriteAroundStatus(EscapeControlBytes(text)); }

void DebugOutput(std::string_view text) { fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace forgeval
