#include "text_match.h"

#include <regex>

namespace forgeval::testing {

using std::string;

bool FullMatch(const string& text, const string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

bool Contains(const string& text, const string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

string ReplaceAll(const string& text, const string& pattern, const string& replacement) {
  return std::regex_replace(text, std::regex(pattern), replacement);
}

size_t CountMatches(const string& text, const string& pattern) {
  return AllMatchGroups(text, pattern).size();
}

std::optional<std::vector<string>> MatchGroups(const string& text, const string& pattern) {
  std::smatch match;
  if (!std::regex_match(text, match, std::regex(pattern))) return std::nullopt;
  return std::vector<string>(match.begin() + 1, match.end());
}

std::vector<std::vector<string>> AllMatchGroups(const string& text, const string& pattern) {
  const std::regex compiled(pattern);
  std::vector<std::vector<string>> matches;
  for (std::sregex_iterator it(text.begin(), text.end(), compiled), end; it != end; ++it)
    matches.emplace_back(it->begin() + 1, it->end());
  return matches;
}

string Escaped(const string& text) { return ReplaceAll(text, R"([.^$|()\[\]{}*+?\\])", R"(\$&)"); }

}  // namespace forgeval::testing
