// Pattern checks on texts for the tests, in ECMAScript regular-expression syntax; the costly
// <regex> templates are compiled once, in text_match.cpp.
#ifndef FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
#define FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace forgeval::testing {

// Whether `pattern` matches the whole of `text` (FullMatch) or somewhere in it (Contains).
bool FullMatch(const std::string& text, const std::string& pattern);
bool Contains(const std::string& text, const std::string& pattern);
// `text` with every match replaced by `replacement`, which may name groups ($1, $&).
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);
size_t CountMatches(const std::string& text, const std::string& pattern);  // non-overlapping
// The captured groups (1..n) of the whole-text match, nothing when `text` does not match; and
// those of every match in `text`, in order.
std::optional<std::vector<std::string>> MatchGroups(const std::string& text,
                                                    const std::string& pattern);
std::vector<std::vector<std::string>> AllMatchGroups(const std::string& text,
                                                     const std::string& pattern);
std::string Escaped(const std::string& text);  // every pattern character escaped

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
