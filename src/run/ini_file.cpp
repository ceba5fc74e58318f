#include "run/ini_file.h"

#include <cassert>
#include <climits>

#include "platform/files.h"
#include "platform/process.h"

namespace forgeval {
namespace {

IniFile* g_instance = nullptr;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// isspace in the "C" locale, as the C library's conversions skip it.
bool IsSpace(char c) { return IsBlank(c) || c == '\v' || c == '\f'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Finds `key` in `section` of the file's text; nothing when the section or key is missing.
std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key) {
  std::optional<std::string> found;
  ParseIni(text, [&](const IniLine& line) {
    if (line.key.empty() || !EqualNoCase(line.section, section) || !EqualNoCase(line.key, key))
      return true;
    found = std::string(line.value);
    return false;
  });
  return found;
}

// Skips leading white space and reads an optional sign; returns the rest of `text`.
std::string_view SkipSpaceAndSign(std::string_view text, bool* negative) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  *negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    *negative = text[i] == '-';
    ++i;
  }
  return text.substr(i);
}

// The leading digits' value, held at `limit`.
uint64_t LeadingDigits(std::string_view digits, uint64_t limit) {
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return limit + 1;  // out of range; callers hold it at the limit
  }
  return value;
}

}  // namespace

bool IsUtf16(std::string_view text) {
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) return true;
  return text.size() >= 2 && (text[0] == '\0' || text[1] == '\0');
}

void ParseIni(std::string_view text, const std::function<bool(const IniLine&)>& visit) {
  if (IsUtf16(text)) return;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // UTF-8 byte order mark
  std::string_view section;
  int number = 0;
  while (!text.empty()) {
    ++number;
    // A line ends at LF, CR LF or a lone CR (files from old Macintosh editors).
    size_t end = text.find_first_of("\r\n");
    std::string_view line = TrimBlanks(text.substr(0, end));
    if (end == std::string_view::npos) end = text.size();
    text.remove_prefix(text.substr(end, 2) == "\r\n" ? end + 2 : std::min(end + 1, text.size()));
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      section = TrimBlanks(line.substr(1, close == std::string_view::npos ? close : close - 1));
      if (!visit(IniLine{number, section, {}, {}, close == std::string_view::npos, {}})) return;
      continue;
    }
    size_t equals = line.find('=');
    std::string_view key =
        equals == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(0, equals));
    if (key.empty()) {
      if (!visit(IniLine{number, section, {}, {}, false, line})) return;
      continue;
    }
    std::string_view value = TrimBlanks(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (!visit(IniLine{number, section, key, value, false, {}})) return;
  }
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

uint32_t ParseUnsigned32(std::string_view text) {
  bool negative = false;
  std::string_view digits = SkipSpaceAndSign(text.substr(0, kNumberTextLength), &negative);
  uint64_t value = LeadingDigits(digits, UINT32_MAX);
  if (value > UINT32_MAX) return UINT32_MAX;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

int32_t ParseSigned32(std::string_view text) {
  bool negative = false;
  std::string_view digits = SkipSpaceAndSign(text.substr(0, kNumberTextLength), &negative);
  uint64_t limit = negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX};
  uint64_t value = LeadingDigits(digits, limit);
  if (value > limit) value = limit;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                  : static_cast<int32_t>(value);
}

IniFile::IniFile() {
  assert(g_instance == nullptr);
  g_instance = this;
}

IniFile::~IniFile() { g_instance = nullptr; }

IniFile* IniFile::Instance() { return g_instance; }

void IniFile::SetPath(const std::string& path) { path_ = platform::NativePath(path); }

void IniFile::SetWarningSink(std::function<void(const std::string&)> sink) {
  sink_ = std::move(sink);
}

std::optional<std::string> IniFile::Text() const {
  int error = 0;
  std::optional<std::string> text = platform::ReadWholeFile(path_, &error);
  std::string warning;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text) {
      last_text_ = text;
      warned_ = false;
      return text;
    }
    if (!last_text_) return std::nullopt;
    if (!warned_) {
      warned_ = true;
      warning = "Warning: " + path_ + " cannot be read now (" + platform::FileErrorText(error) +
                "); the settings read from it last are used until it can be read again";
    }
    text = last_text_;
  }
  if (!warning.empty() && sink_) sink_(warning);
  return text;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view default_text) const {
  std::optional<std::string> content = Text();
  if (content) {
    if (std::optional<std::string> value = FindValue(*content, section, key)) return *value;
  }
  return std::string(default_text);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const {
  std::string text = ReadString(section, key, "");
  std::string_view head = std::string_view(text).substr(0, kNumberTextLength);
  if (head.empty()) return default_value;
  if (EqualNoCase(head, "true") || EqualNoCase(head, "yes")) return true;
  return ParseSigned32(head) != 0;
}

uint32_t IniFile::ReadInt(std::string_view section, std::string_view key,
                          uint32_t default_value) const {
  std::string text = ReadString(section, key, "");
  if (text.empty()) return default_value;
  return ParseUnsigned32(text);
}

std::vector<std::string> IniFile::ReadList(std::string_view section, std::string_view key) const {
  std::vector<std::string> entries;
  std::string text = ReadString(section, key, "");
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view piece = TrimBlanks(rest.substr(0, comma));
    if (!piece.empty()) entries.emplace_back(piece);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return entries;
}

std::string IniReadString(std::string_view section, std::string_view key,
                          std::string_view default_text) {
  IniFile* file = IniFile::Instance();
  return file ? file->ReadString(section, key, default_text) : std::string(default_text);
}

bool IniReadBool(std::string_view section, std::string_view key, bool default_value) {
  IniFile* file = IniFile::Instance();
  return file ? file->ReadBool(section, key, default_value) : default_value;
}

uint32_t IniReadInt(std::string_view section, std::string_view key, uint32_t default_value) {
  IniFile* file = IniFile::Instance();
  return file ? file->ReadInt(section, key, default_value) : default_value;
}

std::vector<std::string> IniReadList(std::string_view section, std::string_view key) {
  IniFile* file = IniFile::Instance();
  return file ? file->ReadList(section, key) : std::vector<std::string>{};
}

}  // namespace forgeval
