// The fleet summary written out: the console table, JSON for scripts, JUnit XML for CI
// dashboards and one self-contained HTML page for the people who decide per machine. Every
// text from the records (host names, error texts, file names) is data and is escaped for the
// format it goes into.
#ifndef FORGEVAL_SUMMARY_SUMMARY_OUTPUT_H_
#define FORGEVAL_SUMMARY_SUMMARY_OUTPUT_H_

#include <string>

#include "summary/fleet_summary.h"

namespace forgeval {

// The table: a header line, one line per row (failed, incomplete, flagged first) with its
// findings on continuation lines, then a closing line with the counts and every bad input.
std::string SummaryTable(const FleetSummary& summary);

// The same as one JSON object: {"hosts": [...], "bad_lines": [...], "file_errors": [...],
// "exit_code": N}.
std::string SummaryJson(const FleetSummary& summary);

// JUnit XML: a test suite per row; a test case per test that ran, per fleet check
// (agreement, outliers, complete run) and for the verdict and the hardware's own reports;
// a suite "run records" with a failed case per bad line or unreadable file.
std::string SummaryJUnit(const FleetSummary& summary);

// One HTML page with inline CSS and SVG only: the table in the same order, rows coloured by
// state, each row's memory and disk rates as bars against the median of its kind, and the
// highest temperature when the health records give one.
std::string SummaryHtml(const FleetSummary& summary);

// `text` with &, <, >, " and ' as character references and control characters other than
// tab and line ends replaced (XML 1.0 cannot carry them).
std::string MarkupEscaped(const std::string& text);

}  // namespace forgeval

#endif  // FORGEVAL_SUMMARY_SUMMARY_OUTPUT_H_
