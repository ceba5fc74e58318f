// Pattern checks on texts for the tests, in ECMAScript regular-expression syntax. Every test
// matches through here, so the costly <regex> templates are compiled once, in text_match.cpp.
#ifndef FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
#define FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace forgeval::testing {

// True when `pattern` matches the whole of `text`.
bool FullMatch(const std::string& text, const std::string& pattern);
// True when `pattern` matches somewhere in `text`.
bool Contains(const std::string& text, const std::string& pattern);
// `text` with every match replaced by `replacement`, which may name groups ($1, $&).
std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement);
// How many non-overlapping matches `text` holds.
size_t CountMatches(const std::string& text, const std::string& pattern);
// The captured groups (1..n) of the whole-text match; nothing when `text` does not match.
std::optional<std::vector<std::string>> MatchGroups(const std::string& text,
                                                    const std::string& pattern);
// The captured groups (1..n) of every match in `text`, in order.
std::vector<std::vector<std::string>> AllMatchGroups(const std::string& text,
                                                     const std::string& pattern);
// `text` with every pattern character escaped, to match it literally.
std::string Escaped(const std::string& text);

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_TEXT_MATCH_H_
