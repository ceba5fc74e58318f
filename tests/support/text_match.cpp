#include "text_match.h"

#include <iterator>
#include <regex>

namespace forgeval::testing {

namespace {

std::vector<std::string> Groups(const std::smatch& match) {
  std::vector<std::string> groups;
  for (size_t i = 1; i < match.size(); ++i) groups.push_back(match[i].str());
  return groups;
}

}  // namespace

bool FullMatch(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

bool Contains(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement) {
  return std::regex_replace(text, std::regex(pattern), replacement);
}

size_t CountMatches(const std::string& text, const std::string& pattern) {
  const std::regex compiled(pattern);
  return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), compiled),
                                           std::sregex_iterator()));
}

std::optional<std::vector<std::string>> MatchGroups(const std::string& text,
                                                    const std::string& pattern) {
  std::smatch match;
  if (!std::regex_match(text, match, std::regex(pattern))) return std::nullopt;
  return Groups(match);
}

std::vector<std::vector<std::string>> AllMatchGroups(const std::string& text,
                                                     const std::string& pattern) {
  const std::regex compiled(pattern);
  std::vector<std::vector<std::string>> matches;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), compiled);
       it != std::sregex_iterator(); ++it) {
    matches.push_back(Groups(*it));
  }
  return matches;
}

std::string Escaped(const std::string& text) {
  return ReplaceAll(text, R"([.^$|()\[\]{}*+?\\])", R"(\$&)");
}

}  // namespace forgeval::testing
