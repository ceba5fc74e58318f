#include "summary/summarize_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "summary/fleet_summary.h"
#include "summary/summary_output.h"

namespace forgeval {
namespace {

constexpr int kSummaryUsageError = 2;

const char kSummarizeUsage[] =
    "Usage: forgeval --summarize [--all-runs] [--json] [--junit FILE] [--html FILE] "
    "RECORD-FILE...\n";

int UsageError(const std::string& what) {
  fprintf(stderr, "forgeval: %s\n%sTry 'forgeval --help' for more information.\n", what.c_str(),
          kSummarizeUsage);
  return kSummaryUsageError;
}

// Writes `content` to `path` whole, replacing what is there without following a link.
bool WriteReport(const std::string& path, const std::string& content) {
  platform::ReplacementFile file(path);
  if (file.valid() && platform::WriteAll(file.fd(), content) && file.Commit()) return true;
  fprintf(stderr, "forgeval: %s cannot be written (%s)\n", path.c_str(), strerror(errno));
  return false;
}

}  // namespace

int SummarizeCommand(int argc, char** argv) {
  bool all_runs = false;
  bool json = false;
  std::string junit_path;
  std::string html_path;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--all-runs") {
      all_runs = true;
    } else if (argument == "--json") {
      json = true;
    } else if (argument == "--junit" || argument == "--html") {
      if (i + 1 >= argc) return UsageError("option '" + argument + "' needs a file name");
      (argument == "--junit" ? junit_path : html_path) = argv[++i];
    } else if (argument.rfind("--", 0) == 0) {
      return UsageError("unknown option '" + argument + "'");
    } else {
      files.push_back(argument);
    }
  }
  if (files.empty()) return UsageError("--summarize needs at least one run record file");

  const FleetSummary summary = SummarizeFleet(ReadRunRecords(files), all_runs);
  for (const BadLine& bad : summary.bad_lines) {
    fprintf(stderr, "forgeval: %s line %zu: %s\n", bad.file.c_str(), bad.line, bad.reason.c_str());
  }
  for (const std::string& error : summary.file_errors) {
    fprintf(stderr, "forgeval: %s\n", error.c_str());
  }
  fputs((json ? SummaryJson(summary) : SummaryTable(summary)).c_str(), stdout);
  fflush(stdout);
  if (!junit_path.empty() && !WriteReport(junit_path, SummaryJUnit(summary))) {
    return kSummaryUsageError;
  }
  if (!html_path.empty() && !WriteReport(html_path, SummaryHtml(summary))) {
    return kSummaryUsageError;
  }
  return summary.ExitCode();
}

}  // namespace forgeval
