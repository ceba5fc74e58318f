// Pattern checks on texts in ECMAScript syntax; <regex> is compiled once, in text_match.cpp.
#ifndef FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
#define FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace forgeval::testing {

bool FullMatch(const std::string& text, const std::string& pattern);  // matches all of `text`
bool Contains(const std::string& text, const std::string& pattern);   // matches in `text`
// `text` with every match replaced by `replacement`, which may name groups ($1, $&).
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);
size_t CountMatches(const std::string& text, const std::string& pattern);  // non-overlapping
// The groups (1..n) of the whole-text match (none: no match), or of every match, in order.
std::optional<std::vector<std::string>> MatchGroups(const std::string& text,
                                                    const std::string& pattern);
std::vector<std::vector<std::string>> AllMatchGroups(const std::string& text,
                                                     const std::string& pattern);
std::string Escaped(const std::string& text);  // every pattern character escaped

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
