#include "summary/summary_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace forgeval {
namespace {

using Json = nlohmann::ordered_json;

std::string Duration(double seconds) {
  const long total = std::lround(std::max(seconds, 0.0));
  char text[32];
  snprintf(text, sizeof text, "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

std::string Significant(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3g", value);
  return text;
}

std::string Decimals(double value, int digits) {
  char text[32];
  snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string Counts(const FleetSummary& summary) {
  size_t count[4] = {0, 0, 0, 0};
  for (const HostRow& row : summary.rows) ++count[static_cast<int>(row.state)];
  return std::to_string(summary.hosts) + " hosts (" + std::to_string(summary.runs_read) +
         " runs in " + std::to_string(summary.files_read) + " files): " + std::to_string(count[0]) +
         " failed, " + std::to_string(count[1]) + " incomplete, " + std::to_string(count[2]) +
         " flagged, " + std::to_string(count[3]) + " passed";
}

std::string BadLineText(const BadLine& bad) {
  return bad.file + " line " + std::to_string(bad.line) + ": " + bad.reason;
}

std::string Passes(const HostRow& row) { return std::to_string(row.passes); }

}  // namespace

std::string SummaryTable(const FleetSummary& summary) {
  size_t host_width = 4;
  size_t verdict_width = 7;
  for (const HostRow& row : summary.rows) {
    host_width = std::max(host_width, row.host.size());
    verdict_width = std::max(verdict_width, row.verdict.size());
  }
  auto pad = [](const std::string& text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ') + "  ";
  };
  // With every run shown, a machine has several rows: its runs' start times tell them apart.
  auto started = [&](const std::string& time) {
    return summary.all_runs ? pad(time, 20) : std::string();
  };
  const std::string header = pad("HOST", host_width) + started("STARTED") + pad("STATE", 10) +
                             pad("VERDICT", verdict_width) + pad("DURATION", 8) + pad("PASSES", 6);
  std::string out = header + "FINDINGS\n";
  for (const HostRow& row : summary.rows) {
    std::string line = pad(row.host, host_width) + started(row.started) +
                       pad(HostStateName(row.state), 10) + pad(row.verdict, verdict_width) +
                       pad(Duration(row.seconds), 8) + pad(Passes(row), 6);
    if (row.findings.empty()) line += "-";
    for (size_t i = 0; i < row.findings.size(); ++i) {
      if (i > 0) line += "\n" + std::string(header.size(), ' ');
      line += row.findings[i].check + ": " + row.findings[i].text;
    }
    out += line + "\n";
  }
  out += Counts(summary) + "\n";
  for (const BadLine& bad : summary.bad_lines) out += "Bad input: " + BadLineText(bad) + "\n";
  for (const std::string& error : summary.file_errors) out += "Unreadable: " + error + "\n";
  return out;
}

std::string SummaryJson(const FleetSummary& summary) {
  Json hosts = Json::array();
  for (const HostRow& row : summary.rows) {
    Json findings = Json::array();
    for (const Finding& f : row.findings) {
      findings.push_back(
          {{"check", f.check}, {"test", f.test}, {"text", f.text}, {"fails", f.fails}});
    }
    Json rates = Json::array();
    for (const RateAgainstMedian& rate : row.rates) {
      rates.push_back({{"name", rate.name},
                       {"value", rate.value},
                       {"median", rate.median},
                       {"hosts", rate.hosts}});
    }
    hosts.push_back(
        {{"host", row.host},
         {"state", HostStateName(row.state)},
         {"verdict", row.verdict},
         {"exit_code", row.exit_code ? Json(*row.exit_code) : Json(nullptr)},
         {"seconds", row.seconds},
         {"passes", row.passes},
         {"run", row.run},
         {"file", row.file},
         {"started", row.started},
         {"version", row.version},
         {"processor_model", row.processor_model},
         {"tests", row.tests},
         {"findings", findings},
         {"rates", rates},
         {"highest_temperature_c",
          row.highest_temperature_c ? Json(*row.highest_temperature_c) : Json(nullptr)}});
  }
  Json bad_lines = Json::array();
  for (const BadLine& bad : summary.bad_lines) {
    bad_lines.push_back({{"file", bad.file}, {"line", bad.line}, {"reason", bad.reason}});
  }
  const Json out = {{"hosts", hosts},
                    {"bad_lines", bad_lines},
                    {"file_errors", summary.file_errors},
                    {"exit_code", summary.ExitCode()}};
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string MarkupEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          out += "\xEF\xBF\xBD";  // U+FFFD
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string SummaryJUnit(const FleetSummary& summary) {
  struct Case {
    std::string name;
    std::vector<std::string> failures;
  };
  std::string suites;
  size_t total_tests = 0;
  size_t total_failures = 0;
  auto suite = [&](const std::string& name, const std::vector<Case>& cases,
                   const std::string& properties) {
    size_t failures = 0;
    std::string body;
    for (const Case& c : cases) {
      body += "    <testcase classname=\"" + MarkupEscaped(name) + "\" name=\"" +
              MarkupEscaped(c.name) + "\"";
      if (c.failures.empty()) {
        body += "/>\n";
        continue;
      }
      ++failures;
      std::string all;
      for (const std::string& failure : c.failures) all += failure + "\n";
      body += ">\n      <failure message=\"" + MarkupEscaped(c.failures.front()) + "\">" +
              MarkupEscaped(all) + "</failure>\n    </testcase>\n";
    }
    total_tests += cases.size();
    total_failures += failures;
    suites += "  <testsuite name=\"" + MarkupEscaped(name) + "\" tests=\"" +
              std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
              "\" errors=\"0\">\n" + properties + body + "  </testsuite>\n";
  };
  for (const HostRow& row : summary.rows) {
    std::vector<Case> cases;
    for (const std::string& test : row.tests) cases.push_back({test, {}});
    for (const char* check : {"hardware", "verdict", "incomplete", "disagreement", "outlier"}) {
      cases.push_back({check, {}});
    }
    for (const Finding& f : row.findings) {
      const std::string name = f.check == "failed" ? f.test : f.check;
      auto it =
          std::find_if(cases.begin(), cases.end(), [&](const Case& c) { return c.name == name; });
      // Hardware events that did not fail the run inform; they fail no case.
      if (it != cases.end() && (f.check != "hardware" || f.fails)) it->failures.push_back(f.text);
    }
    const std::string properties =
        "    <properties>\n      <property name=\"run\" value=\"" + MarkupEscaped(row.run) +
        "\"/>\n      <property name=\"file\" value=\"" + MarkupEscaped(row.file) +
        "\"/>\n      <property name=\"verdict\" value=\"" + MarkupEscaped(row.verdict) +
        "\"/>\n    </properties>\n";
    suite(row.host, cases, properties);
  }
  if (!summary.bad_lines.empty() || !summary.file_errors.empty()) {
    std::vector<Case> cases;
    for (const BadLine& bad : summary.bad_lines) cases.push_back({BadLineText(bad), {bad.reason}});
    for (const std::string& error : summary.file_errors) cases.push_back({error, {error}});
    suite("run records", cases, "");
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"forgeval fleet\" "
         "tests=\"" +
         std::to_string(total_tests) + "\" failures=\"" + std::to_string(total_failures) + "\">\n" +
         suites + "</testsuites>\n";
}

namespace {

// Bars of a row's rates against their medians: a bar per rate, the median at the middle line.
std::string RateChart(const HostRow& row) {
  if (row.rates.empty()) return "-";
  constexpr int kWidth = 240;
  constexpr int kBarHeight = 16;
  const int height = static_cast<int>(row.rates.size()) * (kBarHeight + 4);
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(kWidth + 180) + "\" height=\"" + std::to_string(height) +
                    "\" role=\"img\">";
  int y = 0;
  for (const RateAgainstMedian& rate : row.rates) {
    const double ratio = rate.median > 0 ? rate.value / rate.median : 0;
    const int length = static_cast<int>(std::lround(std::min(ratio, 2.0) / 2.0 * kWidth));
    const bool off = ratio < 0.7 || ratio > 1.3;
    const std::string label = rate.name + " " + Significant(rate.value) + " (" +
                              Decimals(ratio, 2) + " of the median " + Significant(rate.median) +
                              ", " + std::to_string(rate.hosts) + " hosts)";
    svg += "<g><title>" + MarkupEscaped(label) + "</title><rect x=\"0\" y=\"" + std::to_string(y) +
           "\" width=\"" + std::to_string(length) + "\" height=\"" + std::to_string(kBarHeight) +
           "\" fill=\"" + (off ? "#c62828" : "#4f7cac") + "\"/><text x=\"" +
           std::to_string(kWidth + 6) + "\" y=\"" + std::to_string(y + kBarHeight - 4) +
           "\" font-size=\"11\">" + MarkupEscaped(rate.name + " x" + Decimals(ratio, 2)) +
           "</text></g>";
    y += kBarHeight + 4;
  }
  svg += "<line x1=\"" + std::to_string(kWidth / 2) + "\" y1=\"0\" x2=\"" +
         std::to_string(kWidth / 2) + "\" y2=\"" + std::to_string(height) +
         "\" stroke=\"#222\" stroke-dasharray=\"3,2\"/></svg>";
  return svg;
}

}  // namespace

std::string SummaryHtml(const FleetSummary& summary) {
  const bool temperatures =
      std::any_of(summary.rows.begin(), summary.rows.end(),
                  [](const HostRow& row) { return row.highest_temperature_c.has_value(); });
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Forgeval fleet summary</title>\n<style>\n"
      "body{font-family:sans-serif;margin:1.5em;color:#111}\n"
      "table{border-collapse:collapse}\n"
      "th,td{border:1px solid #bbb;padding:4px 8px;text-align:left;vertical-align:top}\n"
      "th{background:#eee}\n"
      "tr.failed td{background:#fbd5d5}\n"
      "tr.incomplete td{background:#fde7c4}\n"
      "tr.flagged td{background:#fff6b3}\n"
      "tr.passed td{background:#e3f4e1}\n"
      "td.findings ul{margin:0;padding-left:1.2em}\n"
      "li.fails{font-weight:bold}\n"
      ".bad{color:#b00}\n"
      "</style>\n</head>\n<body>\n<h1>Forgeval fleet summary</h1>\n<p id=\"counts\">" +
      MarkupEscaped(Counts(summary)) +
      "</p>\n<p>Bars: each host's memory and disk rates against the median of the hosts with "
      "the same processor model (the dashed line); red is outside 0.7 to 1.3 of it.</p>\n"
      "<table id=\"hosts\">\n<thead><tr><th>Host</th><th>State</th><th>Verdict</th>"
      "<th>Duration</th><th>Passes</th>" +
      std::string(temperatures ? "<th>Highest temperature</th>" : "") +
      "<th>Rates against the median</th><th>Findings</th></tr></thead>\n<tbody>\n";
  for (const HostRow& row : summary.rows) {
    const std::string state = HostStateName(row.state);
    html += "<tr class=\"host " + state + "\"><td class=\"name\">" + MarkupEscaped(row.host) +
            "</td><td>" + state + "</td><td>" + MarkupEscaped(row.verdict) + "</td><td>" +
            Duration(row.seconds) + "</td><td>" + Passes(row) + "</td>";
    if (temperatures) {
      html += "<td>" +
              (row.highest_temperature_c ? Decimals(*row.highest_temperature_c, 1) + " &#176;C (" +
                                               MarkupEscaped(row.hottest_sensor) + ")"
                                         : std::string("-")) +
              "</td>";
    }
    html += "<td>" + RateChart(row) + "</td><td class=\"findings\">";
    if (!row.findings.empty()) {
      html += "<ul>";
      for (const Finding& f : row.findings) {
        html += std::string(f.fails ? "<li class=\"fails\">" : "<li>") + MarkupEscaped(f.check) +
                ": " + MarkupEscaped(f.text) + "</li>";
      }
      html += "</ul>";
    }
    html += "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n";
  if (!summary.bad_lines.empty() || !summary.file_errors.empty()) {
    html += "<h2 class=\"bad\">Input that could not be read</h2>\n<ul class=\"bad\">\n";
    for (const BadLine& bad : summary.bad_lines) {
      html += "<li>" + MarkupEscaped(BadLineText(bad)) + "</li>\n";
    }
    for (const std::string& error : summary.file_errors) {
      html += "<li>" + MarkupEscaped(error) + "</li>\n";
    }
    html += "</ul>\n";
  }
  return html + "</body>\n</html>\n";
}

}  // namespace forgeval
