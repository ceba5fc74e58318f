// A fixture for end-to-end runs: the program and the fault probe (the program with test-only
// worker bodies, tests/support/fault_probe.cpp) copied into a fresh folder, where their
// configuration, log, run record, crash report and dump lie beside them, and a system-log
// listener of the test's own. The including target defines FORGEVAL_BINARY and
// FORGEVAL_FAULT_PROBE, the paths of the built programs.
#ifndef FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_
#define FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_process.h"
#include "syslog_listener.h"
#include "temp_dir.h"
#include "text_match.h"

// Tables of cases name only the fields that matter to them.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace forgeval::testing {

inline const std::string kStamp = R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)";  // of a log line
inline const std::string kBanner = "Forgeval 1.3\n" + std::string(66, '-') + "\n";

// `text` with what differs between runs replaced: log stamps by "@", fault and bad-cell
// addresses by "ADDR", the run record's times and run names dropped, its system facts by
// "SYSTEM", durations and rates (which must be above 0) by "S"; and the lines of the workers
// of one test, which interleave at random, put in worker order.
inline std::string Normalized(const std::string& text) {
  std::string t = ReplaceAll(text, kStamp, "@");
  t = ReplaceAll(t, "address (0x)?[0-9a-fA-F]{8,16}", "address ADDR");
  t = ReplaceAll(t, R"re("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","run":"\d+-\d+",)re", "");
  t = ReplaceAll(t,
                 R"re("host":"[^"]+","kernel":"[^"]+","processor_model":("[^"]+"|null),)re"
                 R"re("processors_usable":[1-9]\d*,"memory_bytes":[1-9]\d*)re",
                 "SYSTEM");
  t = ReplaceAll(t, R"re((seconds|_per_s)":(0\.0*[1-9]|[1-9])[0-9.e+-]*)re", "$1\":S");
  std::vector<std::pair<char, std::string>> lines;  // (worker digit or 0, line)
  std::istringstream in(t);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("Thread ");
    lines.emplace_back(at == std::string::npos ? 0 : line[at + 7], line + "\n");
  }
  for (auto run = lines.begin(); run != lines.end();) {
    run = std::find_if(run, lines.end(), [](const auto& line) { return line.first != 0; });
    auto end = std::find_if(run, lines.end(), [](const auto& line) { return line.first == 0; });
    std::stable_sort(run, end, [](const auto& a, const auto& b) { return a.first < b.first; });
    run = end;
  }
  t.clear();
  for (const auto& line : lines) t += line.second;
  return t;
}

// What a run that showed `lines` (after the banner; a line that begins with "~" goes to the
// log only) writes on the console, in the log (with its footer when `closed`) and, for its
// errors, to the system log; normalized.
inline std::string ConsoleOf(const std::string& lines) {
  return kBanner + ReplaceAll(lines, "(^|\n)~[^\n]*", "");
}
inline std::string LogOf(const std::string& lines, bool closed) {
  std::string log = "Forgeval 1.3\n" + std::string(51, '-') + "\n\nStarted at:\t@\n\n";
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("~")) line.erase(0, 1);
    if (line.starts_with("--- Loop")) log += "\n";
    log += line.empty() ? "\n" : ReplaceAll(line, "^(Thread \\d+ : )?", "$1@ : ") + "\n";
  }
  return log + (closed ? "\nClosed at:\t@\n" + std::string(41, '-') + "\n\n" : "");
}
inline std::string ErrorsOf(const std::string& lines) {
  std::string errors;
  for (const auto& found :
       AllMatchGroups(lines, R"((^|\n)(\[\*\*\*[^\n]*|Exception [^\n]*|Out of memory\.))"))
    errors += found[1] + "\n";
  return Normalized(errors);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir_.path().c_str(), 0755);  // the unprivileged runs need to reach the program
    std::filesystem::copy_file(FORGEVAL_BINARY, dir_.File("forgeval"));
    std::filesystem::copy_file(FORGEVAL_FAULT_PROBE, dir_.File("probe"));
  }
  // Writes `ini` as forgeval.ini in the folder and starts argv there ("forgeval" or "probe"
  // as argv[0] name the copies), with the test's system-log listener.
  std::unique_ptr<RunningProcess> Start(const std::string& ini,
                                        std::vector<std::string> argv = {"forgeval"},
                                        ProcessOptions options = {}) {
    WriteFile(dir_.File("forgeval.ini"), ini);
    chmod(dir_.File("forgeval.ini").c_str(), 0644);
    argv[0] = dir_.File(argv[0]);
    if (options.working_dir.empty()) options.working_dir = dir_.path();
    options.environment.insert(options.environment.begin(),
                               {"FORGEVAL_SYSLOG_SOCKET", listener_.path()});
    return std::make_unique<RunningProcess>(argv, options);
  }
  ProcessResult Run(const std::string& ini, std::vector<std::string> argv = {"forgeval"},
                    ProcessOptions options = {}) {
    return Start(ini, std::move(argv), std::move(options))->Wait();
  }
  std::string Read(const std::string& name) const { return ReadFile(dir_.File(name)); }
  // The texts that reached the system log since the last call, normalized.
  std::string Datagrams() {
    std::string texts;
    for (const std::string& datagram : listener_.Drain(0))
      texts += ReplaceAll(datagram, R"(^<11>\w{3} [ \d]\d \d\d:\d\d:\d\d Forgeval\[\d+\]: )", "");
    return Normalized(texts);
  }

  TempDir dir_;
  SyslogListener listener_{dir_.File("log.sock")};
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_PROGRAM_FIXTURE_H_
