#include "run/config_check.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string_view>

#include "platform/files.h"
#include "run/ini_file.h"
#include "run/run_driver.h"
#include "run/time_limit.h"

namespace forgeval {
namespace {

enum class KeyKind { kText, kLogFile, kUnsigned, kSize, kBoolean, kProcessors, kDuration };

struct KnownKey {
  const char* section;
  const char* key;
  KeyKind kind;
};

constexpr KnownKey kKnownKeys[] = {
    {"Main", "LogFile", KeyKind::kLogFile},
    {"Main", "Loop", KeyKind::kUnsigned},
    {"Main", "ResultFile", KeyKind::kText},
    {"Main", "Duration", KeyKind::kDuration},
    {"Memory", "Enabled", KeyKind::kBoolean},
    {"Memory", "CPU", KeyKind::kProcessors},
    {"Memory", "MemSize", KeyKind::kUnsigned},
    {"Cache", "Enabled", KeyKind::kBoolean},
    {"Cache", "CPU", KeyKind::kProcessors},
    {"FFT", "Enabled", KeyKind::kBoolean},
    {"FFT", "CPU", KeyKind::kProcessors},
    {"SortAlgorithms", "Enabled", KeyKind::kBoolean},
    {"SortAlgorithms", "CPU", KeyKind::kProcessors},
    {"SortAlgorithms", "ArraySize", KeyKind::kUnsigned},
    {"Matrix", "Enabled", KeyKind::kBoolean},
    {"Matrix", "CPU", KeyKind::kProcessors},
    {"Disk", "Enabled", KeyKind::kBoolean},
    {"Disk", "Drive", KeyKind::kText},
    {"Disk", "CPU", KeyKind::kProcessors},
    {"Disk", "Size", KeyKind::kSize},
    {"Health", "Enabled", KeyKind::kBoolean},
    {"Health", "MaxCorrectedMemoryErrors", KeyKind::kUnsigned},
    {"Health", "ThrottlingIsError", KeyKind::kBoolean},
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A whole unsigned number that fits 32 bits, written as such.
bool IsPlainUnsigned(std::string_view text) {
  if (!AllDigits(text)) return false;
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  return text.size() < 10 || (text.size() == 10 && text <= "4294967295");
}

bool IsPlainSigned(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  return AllDigits(text);
}

// What the readers make of `value`, when that differs from what was written.
std::string Misread(KeyKind kind, std::string_view value) {
  switch (kind) {
    case KeyKind::kUnsigned:
      if (value.empty() || IsPlainUnsigned(value)) return {};
      return "is read as " + std::to_string(ParseUnsigned32(value));
    case KeyKind::kSize:
      if (value.empty() || IsPlainUnsigned(value)) return {};
      return "is read as " + std::to_string(static_cast<int32_t>(ParseUnsigned32(value)));
    case KeyKind::kBoolean: {
      const std::string lower = Lower(value);
      if (value.empty() || lower == "true" || lower == "yes" || lower == "false" || lower == "no" ||
          lower == "off" || IsPlainSigned(value))
        return {};
      return std::string("is read as ") + (ParseSigned32(value) != 0 ? "true" : "false");
    }
    case KeyKind::kProcessors: {
      std::string_view rest = value;
      while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view entry = TrimBlanks(rest.substr(0, comma));
        if (!entry.empty() && !AllDigits(entry)) {
          return "has the entry \"" + std::string(entry) + "\", read as processor " +
                 std::to_string(ParseSigned32(entry));
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
      return {};
    }
    case KeyKind::kLogFile:
      if (value.size() <= kLogFileNameLength) return {};
      return "is cut to its first " + std::to_string(kLogFileNameLength) + " characters: \"" +
             std::string(value.substr(0, kLogFileNameLength)) + "\"";
    case KeyKind::kDuration:
      return ParseDuration(value).misread;
    case KeyKind::kText:
      return {};
  }
  return {};
}

const KnownKey* FindKey(std::string_view section, std::string_view key) {
  for (const KnownKey& known : kKnownKeys) {
    if (Lower(known.section) == Lower(section) && Lower(known.key) == Lower(key)) return &known;
  }
  return nullptr;
}

bool KnownSection(std::string_view section) {
  return std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                     [&](const KnownKey& known) { return Lower(known.section) == Lower(section); });
}

}  // namespace

std::vector<std::string> ConfigurationWarnings(const std::string& path) {
  std::vector<std::string> warnings;
  std::optional<std::string> text = platform::ReadWholeFile(path);
  if (!text) return warnings;
  std::set<std::string> seen;  // "section\nkey", lower case
  ParseIni(*text, [&](const IniLine& line) {
    const std::string where = "Warning: " + path + " line " + std::to_string(line.number) + ": ";
    const std::string section = "[" + std::string(line.section) + "]";
    if (line.key.empty()) {
      if (!KnownSection(line.section)) warnings.push_back(where + "unknown section " + section);
      return true;
    }
    if (line.section.empty()) {
      warnings.push_back(where + "key \"" + std::string(line.key) +
                         "\" stands before any section and is never read");
      return true;
    }
    if (!KnownSection(line.section)) return true;  // already named as an unknown section
    const KnownKey* known = FindKey(line.section, line.key);
    const std::string key = std::string(line.key);
    if (known == nullptr) {
      warnings.push_back(where + "unknown key \"" + key + "\" in section " + section);
      return true;
    }
    if (!seen.insert(Lower(known->section) + "\n" + Lower(known->key)).second) {
      warnings.push_back(where + section + " " + key + " is given again; only the first counts");
      return true;
    }
    std::string misread = Misread(known->kind, line.value);
    if (!misread.empty()) {
      warnings.push_back(where + section + " " + key + "=" + std::string(line.value) + " " +
                         misread);
    }
    return true;
  });
  return warnings;
}

}  // namespace forgeval
