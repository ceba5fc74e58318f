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

enum class KeyKind {
  kText,
  kLogFile,
  kUnsigned,
  kPassCount,  // the next three are read unsigned and used as signed 32-bit numbers
  kMemSize,
  kSize,
  kBoolean,
  kProcessors,
  kDuration
};

// Warnings after this many in one reading of the file are counted, not shown: a binary file
// or a wrong file named as the configuration would otherwise flood the console.
constexpr size_t kMaxWarnings = 100;

struct KnownKey {
  const char* section;
  const char* key;
  KeyKind kind;
};

constexpr KnownKey kKnownKeys[] = {
    {"Main", "LogFile", KeyKind::kLogFile},
    {"Main", "Loop", KeyKind::kPassCount},
    {"Main", "ResultFile", KeyKind::kText},
    {"Main", "Duration", KeyKind::kDuration},
    {"Memory", "Enabled", KeyKind::kBoolean},
    {"Memory", "CPU", KeyKind::kProcessors},
    {"Memory", "MemSize", KeyKind::kMemSize},
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

// For a key read unsigned and used as a signed 32-bit number: "is read as N" when the text is
// not that number written plainly (a word, a sign, 2^31 or more), followed by what `used`
// leads to when `consequence` names it.
std::string SignedMisread(std::string_view value, const std::string& consequence = {}) {
  const auto used = static_cast<int32_t>(ParseUnsigned32(value));
  if (value.empty() || (used >= 0 && IsPlainUnsigned(value))) return {};
  return "is read as " + std::to_string(used) + (consequence.empty() ? "" : "; " + consequence);
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
    case KeyKind::kPassCount:
      return SignedMisread(value,
                           static_cast<int32_t>(ParseUnsigned32(value)) <= 0 ? "no pass runs" : "");
    case KeyKind::kMemSize: {
      const auto used = static_cast<int32_t>(ParseUnsigned32(value));
      return SignedMisread(value, used <= -4 ? "the Memory test reports it as an error"
                                  : used < 4 ? "the Memory test allocates 0 MB"
                                             : "");
    }
    case KeyKind::kSize:
      return SignedMisread(value, static_cast<int32_t>(ParseUnsigned32(value)) <= 0
                                      ? "no file pair is written"
                                      : "");
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

// The first line of `text` that sets `key` in `section`; 0 when none does.
int KeyLine(std::string_view text, std::string_view section, std::string_view key) {
  int number = 0;
  ParseIni(text, [&](const IniLine& line) {
    if (line.key.empty() || Lower(line.section) != Lower(section) || Lower(line.key) != Lower(key))
      return true;
    number = line.number;
    return false;
  });
  return number;
}

// A line that is neither a section, a key=value line nor a comment ("Enabled false"), and
// what the key its first word names takes instead.
std::string UnreadLine(std::string_view text, const IniLine& line) {
  std::string warning =
      "\"" + std::string(line.unread) + "\" is not a key=value line and is not read";
  const std::string_view word = line.unread.substr(0, line.unread.find_first_of(" \t:="));
  const KnownKey* known = FindKey(line.section, word);
  if (known == nullptr) return warning;
  const int given = KeyLine(text, line.section, known->key);
  return warning + "; " + known->key +
         (given == 0 ? " takes its default" : " is read from line " + std::to_string(given));
}

}  // namespace

std::vector<std::string> ConfigurationWarnings(const std::string& path) {
  std::vector<std::string> warnings;
  int error = 0;
  std::optional<std::string> text = platform::ReadWholeFile(path, &error);
  if (!text) {
    return {"Warning: " + path + " cannot be read (" + platform::FileErrorText(error) +
            "); every setting takes its default"};
  }
  if (IsUtf16(*text)) {
    return {"Warning: " + path +
            " is UTF-16 text and is not read; every setting takes its default (save it as UTF-8)"};
  }
  std::set<std::string> seen;  // "section\nkey", lower case
  ParseIni(*text, [&](const IniLine& line) {
    const std::string where = "Warning: " + path + " line " + std::to_string(line.number) + ": ";
    const std::string section = "[" + std::string(line.section) + "]";
    if (!line.unread.empty()) {
      warnings.push_back(where + (line.section.empty() ? "" : section + " ") +
                         UnreadLine(*text, line));
      return true;
    }
    if (line.key.empty()) {
      if (line.unclosed) {
        warnings.push_back(where + "\"[" + std::string(line.section) +
                           "\" has no closing bracket; the lines below it are read as section " +
                           section);
      }
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
  if (warnings.size() > kMaxWarnings) {
    const size_t more = warnings.size() - kMaxWarnings;
    warnings.resize(kMaxWarnings);
    warnings.push_back("Warning: " + path + ": " + std::to_string(more) +
                       " more warnings are not shown");
  }
  return warnings;
}

}  // namespace forgeval
