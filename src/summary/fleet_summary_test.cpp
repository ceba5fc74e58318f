#include "summary/fleet_summary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "summary/summarize_command.h"
#include "summary/summary_output.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using testing::TempDir;
using testing::WriteFile;

const std::string kMissing = "(not written)";

// Records as the program writes them, cut to the fields the summary reads.
std::string Start(const std::string& host, const std::string& run, const std::string& day = "07",
                  const std::string& model = "\"M1\"") {
  return R"({"record":"run_start","time":"2026-12-)" + day + R"(T01:00:00Z","run":")" + run +
         R"(","version":"1.3","host":")" + host + R"(","processor_model":)" + model + "}\n";
}
std::string Worker(const std::string& run, const std::string& test, const std::string& figures,
                   const std::string& status = "passed", const std::string& error = "null") {
  return R"({"record":"worker_end","time":"2026-12-07T01:00:03Z","run":")" + run + R"(","test":")" +
         test + R"(","pass":1,"worker":0,"status":")" + status + R"(","error":)" + error +
         R"(,"seconds":2.5,"figures":)" + figures + "}\n";
}
std::string Fft(const std::string& run, const std::string& bits,
                const std::string& kernel = "avx512") {
  return Worker(run, "FFT",
                R"({"last_length":9999,"transform_kernel":")" + kernel +
                    R"(","math_library":"fma","sum_0_bits":")" + bits + R"(","sum_1_bits":")" +
                    bits + "\"}");
}
std::string Memory(const std::string& run, double rate) {
  return Worker(run, "Memory",
                R"({"gb_per_s":)" + std::to_string(rate) + R"(,"fill":"streaming"})");
}
std::string End(const std::string& run, int exit_code = 0, const std::string& extra = "") {
  return R"({"record":"run_end","time":"2026-12-07T01:00:05Z","run":")" + run +
         R"(","verdict":null,"exit_code":)" + std::to_string(exit_code) +
         R"(,"seconds":65.4,"interrupted":false)" + extra + "}\n";
}
// A whole passing run of `host` with FFT sums `bits` and a memory rate.
std::string HostRun(const std::string& host, const std::string& bits, double rate = 8,
                    const std::string& model = "\"M1\"", const std::string& kernel = "avx512") {
  const std::string run = "100-" + host;
  return Start(host, run, "07", model) + Fft(run, bits, kernel) + Memory(run, rate) + End(run);
}

// A row as one line: host, state, verdict, passes, then each finding.
std::string Described(const HostRow& row) {
  std::string text = row.host + " " + HostStateName(row.state) + " " + row.verdict + " " +
                     std::to_string(row.passes);
  for (const Finding& f : row.findings) text += " | " + f.check + ": " + f.text;
  return text;
}

TEST(FleetSummaryTest, RowsStatesAndFleetChecks) {
  const std::string kFleet = "[version 1.3, kernel avx512, math library fma, lengths to 9999]";
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // name below the test folder -> content
    bool all_runs;
    std::vector<std::string> rows;
    int exit_code;
    std::vector<std::string> bad_input;  // lines of the table after the counts
  };
  const std::string broken = Start("b", "1") + "{\"record\":\"worker_end\",\"run\":\"1\",\"te\n" +
                             "[1,2]\n" + Fft("1", "aa") + End("1");
  // clang-format off
  const std::vector<Case> cases = {
    {"FFT bits differ from three peers", {{"a", HostRun("a", "aa") + HostRun("b", "aa") + HostRun("c", "aa") + HostRun("d", "dd")}}, false,
     {"d flagged passed 1 | disagreement: FFT sum bits dd differs from aa of 3 of 4 hosts " + kFleet,
      "a passed passed 1", "b passed passed 1", "c passed passed 1"}, 1, {}},
    {"two processor models and code paths are not compared", {{"a", HostRun("m1a", "aa", 8) + HostRun("m1b", "aa", 8.5) +
       HostRun("m2a", "bb", 3, "\"M2\"", "avx2") + HostRun("m2b", "bb", 3.2, "\"M2\"", "avx2") + HostRun("u", "aa", 1, "null")}}, false,
     {"m1a passed passed 1", "m1b passed passed 1", "m2a passed passed 1", "m2b passed passed 1", "u passed passed 1"}, 0, {}},
    {"memory rate at half the median", {{"a", HostRun("a", "aa", 8) + HostRun("b", "aa", 8) + HostRun("c", "aa", 9) + HostRun("d", "aa", 4)}}, false,
     {"d flagged passed 1 | outlier: Memory gb_per_s 4 is 0.50 of the median 8 of 4 hosts (M1)",
      "a passed passed 1", "b passed passed 1", "c passed passed 1"}, 1, {}},
    {"a run without run_end, and one with a failed worker", {{"a", Start("x", "1") + Memory("1", 8) +
       Start("y", "2") + Worker("2", "Disk", "{}", "failed", "\"[*** ERROR Thread 0 : Cannot write on /nx/ drive ***]\"") + End("2", 1)}}, false,
     {"y failed failed 1 | failed: Disk pass 1 worker 0: [*** ERROR Thread 0 : Cannot write on /nx/ drive ***]",
      "x incomplete incomplete 1 | incomplete: no run_end: started 2026-12-07T01:00:00Z, last record 2026-12-07T01:00:03Z (pass 1); the machine may have hung or reset"}, 1, {}},
    {"a broken line mid-file", {{"f", broken}}, false, {"b passed passed 1"}, 1,
     {"Bad input: DIR/f line 2: not JSON", "Bad input: DIR/f line 3: not a run record"}},
    {"runs appended over days, the latest first in the file", {{"a", Start("h", "3", "09") + Fft("3", "aa") + End("3") +
       Start("h", "1", "07") + Fft("1", "aa") + Worker("1", "Cache", "{}", "failed", "\"e\"") + End("1", 1)}}, false,
     {"h passed passed 1"}, 0, {}},
    {"every run shown", {{"a", Start("h", "3", "09") + Fft("3", "aa") + End("3") + Start("h", "1", "07") + Worker("1", "Cache", "{}", "failed", "\"e\"") + End("1", 1)}}, true,
     {"h failed failed 1 | failed: Cache pass 1 worker 0: e", "h passed passed 1"}, 1, {}},
    {"a host whose own sums differ between runs", {{"a", Start("h", "1", "07") + Fft("1", "aa") + End("1") + Start("h", "2", "08") + Fft("2", "ab") + End("2")}}, false,
     {"h flagged passed 1 | disagreement: its own FFT sums differ: aa (run 1) ab (run 2) " + kFleet}, 1, {}},
    {"clones with one host name, told apart by folder", {{"rig-a/r", HostRun("h", "aa")}, {"rig-b/r", HostRun("h", "aa")}}, false,
     {"h (rig-a) passed passed 1", "h (rig-b) passed passed 1"}, 0, {}},
    {"nothing tested, interrupted, and hardware events", {{"a", Start("n", "1") + End("1") + Start("i", "2") + End("2", 130, R"(,"ended_by":"interrupt")") +
       Start("t", "3") + Memory("3", 8) + R"({"record":"health","time":"t","run":"3","test":"Memory","pass":1,"events":[{"source":"memory ECC","text":"3 corrected","fails":true},{"source":"thermal","text":"throttled","fails":false}]})" "\n" +
       End("3", 1, R"(,"health":{"corrected_memory_errors":3,"highest_temperature_c":{"Package id 0":71.5}})")}}, false,
     {"i failed interrupted 0 | verdict: the run was interrupted (exit code 130)", "n failed not tested 0 | verdict: nothing was tested (exit code 0)",
      "t failed failed 1 | hardware: memory ECC: 3 corrected (Memory test, pass 1) | hardware: thermal: throttled (Memory test, pass 1) | hardware: totals: corrected_memory_errors 3"}, 1, {}},
    {"a run ended by its time limit, a worker cut short", {{"a", Start("d", "1") + Memory("1", 8) + Worker("1", "FFT", "{}", "time_up") + End("1", 0, R"(,"ended_by":"duration")")}}, false,
     {"d passed passed 1"}, 0, {}},
    {"missing and empty files", {{"e", ""}, {"missing", kMissing}}, false, {}, 1, {"Unreadable: DIR/e: is empty (no run record)", "Unreadable: DIR/missing: cannot be read (No such file or directory)"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> paths;
    for (const auto& [name, content] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(dir.File(name)).parent_path());
      if (content != kMissing) WriteFile(dir.File(name), content);
      paths.push_back(dir.File(name));
    }
    const FleetSummary summary = SummarizeFleet(ReadRunRecords(paths), c.all_runs);
    std::vector<std::string> rows;
    for (const HostRow& row : summary.rows) rows.push_back(Described(row));
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(summary.ExitCode(), c.exit_code);
    std::string table = SummaryTable(summary);
    const std::string folder = dir.File("");
    for (size_t at; (at = table.find(folder)) != std::string::npos;)
      table.replace(at, folder.size(), "DIR/");
    const std::string tail = table.substr(table.find(" passed\n") + 8);
    std::string expected_tail;
    for (const std::string& line : c.bad_input) expected_tail += line + "\n";
    EXPECT_EQ(tail, expected_tail);
  }
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Host names and error texts are data: every format carries them escaped and whole.
TEST(FleetSummaryTest, OutputsCarryTextsEscapedAndCountFailures) {
  const std::string name = "<b>\"x'&";
  TempDir dir;
  WriteFile(dir.File("r"), Start("<b>\\\"x'&", "1") +
                               Worker("1", "Cache", "{}", "failed", "\"<i>\\u0007</i>\"") +
                               End("1", 1) + "garbage\n" + HostRun("ok", "aa"));
  const FleetSummary summary = SummarizeFleet(ReadRunRecords({dir.File("r")}), false);

  const nlohmann::json json = nlohmann::json::parse(SummaryJson(summary));
  EXPECT_EQ(json["hosts"][0]["host"], name);
  EXPECT_EQ(json["hosts"][0]["findings"][0]["text"], "Cache pass 1 worker 0: <i>\a</i>");
  EXPECT_EQ(json["hosts"][1]["state"], "passed");
  EXPECT_EQ(json["bad_lines"][0]["line"], 4);
  EXPECT_EQ(json["exit_code"], 1);

  const std::string junit = SummaryJUnit(summary);
  EXPECT_EQ(Count(junit, "<failure "), 2u);  // the failed test and the bad line
  EXPECT_NE(junit.find("failures=\"2\">"), std::string::npos);
  EXPECT_NE(junit.find("<testsuite name=\"&lt;b&gt;&quot;x&#39;&amp;\" tests=\"6\" failures=\"1\""),
            std::string::npos);
  EXPECT_NE(junit.find("&lt;i&gt;\xEF\xBF\xBD&lt;/i&gt;"), std::string::npos);

  const std::string html = SummaryHtml(summary);
  for (const std::string& text : {junit, html}) {
    EXPECT_EQ(text.find("<b>"), std::string::npos);
    EXPECT_EQ(text.find("<i>"), std::string::npos);
    EXPECT_EQ(text.find('\a'), std::string::npos);
  }
  EXPECT_LT(
      html.find("<tr class=\"host failed\"><td class=\"name\">&lt;b&gt;&quot;x&#39;&amp;</td>"),
      html.find("<tr class=\"host passed\"><td class=\"name\">ok</td>"));
  EXPECT_NE(html.find("<li>" + dir.File("r") + " line 4: not JSON</li>"), std::string::npos);
}

TEST(FleetSummaryTest, CommandLineOfSummarize) {
  TempDir dir;
  WriteFile(dir.File("r"), HostRun("a", "aa"));
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::vector<std::string> written;
  };
  const std::string r = dir.File("r");
  const std::vector<Case> cases = {
      {{}, 2, {}},
      {{"--all-runs"}, 2, {}},
      {{r, "--bogus"}, 2, {}},
      {{r, "--junit"}, 2, {}},
      {{r, "--html", dir.File("no/such/folder.html")}, 2, {}},
      {{r, "--json", "--junit", dir.File("j.xml"), "--html", dir.File("h.html")},
       0,
       {"j.xml", "h.html"}},
      {{r, dir.File("missing")}, 1, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"forgeval", kSummarizeOption};
    words.insert(words.end(), c.arguments.begin(), c.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    SCOPED_TRACE(words.back());
    EXPECT_EQ(SummarizeCommand(static_cast<int>(argv.size()), argv.data()), c.status);
    for (const std::string& file : c.written) {
      EXPECT_NE(testing::ReadFile(dir.File(file)).find("a"), std::string::npos) << file;
    }
  }
}

}  // namespace
}  // namespace forgeval
