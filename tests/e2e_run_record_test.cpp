// The run record of whole runs: the probe (the real driver, dispatch and frame) with the real
// memory test and with bodies that fault, fail or wait for Ctrl+C.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <vector>

#include "probe_fixture.h"

namespace forgeval::testing {
namespace {

using nlohmann::json;

class RunRecordEndToEndTest : public FaultProbeTest {
 protected:
  // Every line of the record, parsed; a line that is not JSON fails the test.
  std::vector<json> Records() const {
    std::vector<json> records;
    std::istringstream lines(ReadFile(dir_.File("forgeval.results.jsonl")));
    for (std::string line; std::getline(lines, line);) {
      json record = json::parse(line, nullptr, /*allow_exceptions=*/false);
      EXPECT_FALSE(record.is_discarded()) << line;
      records.push_back(std::move(record));
    }
    return records;
  }
};

TEST_F(RunRecordEndToEndTest, AFailedAndAPassedMemoryWorkerWithTheirFigures) {
  ProcessResult result = Run("[Memory]\nCPU=0,1\nMemSize=8\n", {"MemoryWithBadCell"});
  ASSERT_EQ(result.exit_code, 1) << result.output;
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 4u);

  EXPECT_EQ(records[0]["record"], "run_start");
  EXPECT_EQ(records[0]["configuration"], dir_.File("probe.ini"));
  EXPECT_EQ(records[0]["version"], "1.3");

  const json& passed = records[1];
  EXPECT_EQ(passed["record"], "worker_end");
  EXPECT_EQ(passed["test"], "Memory");
  EXPECT_EQ(passed["pass"], 1);
  EXPECT_EQ(passed["worker"], 0);
  EXPECT_EQ(passed["processor"], 0);
  EXPECT_EQ(passed["status"], "passed");
  EXPECT_TRUE(passed["error"].is_null());
  // Two blocks of 4,096,000 bytes, each read back twice by the bus check and 256 times.
  EXPECT_EQ(passed["figures"]["bytes_checked"], 2 * 4096000LL * 258);
  EXPECT_EQ(passed["figures"]["megabytes"], 8);
  EXPECT_GT(passed["figures"]["gb_per_s"].get<double>(), 0.1);

  const json& failed = records[2];
  EXPECT_EQ(failed["worker"], 1);
  EXPECT_EQ(failed["status"], "failed");
  const std::string error = failed["error"];
  EXPECT_TRUE(error.starts_with("[***ERROR Thread 1 : Occured DRAM array test at address "))
      << error;
  EXPECT_NE(result.output.find(error + "\n"), std::string::npos) << "the console's own text";
  EXPECT_GT(failed["seconds"].get<double>(), 0.0);

  EXPECT_EQ(records[3]["record"], "run_end");
  EXPECT_EQ(records[3]["verdict"], "Error: Some of the tests failed.");
  EXPECT_EQ(records[3]["exit_code"], 1);
  EXPECT_EQ(records[3]["interrupted"], false);
}

TEST_F(RunRecordEndToEndTest, TheComputeTestsRecordTheirFigures) {
  ProcessResult result =
      Run("[SortAlgorithms]\nCPU=1\nArraySize=3000\n[SmallTransform]\nCPU=0\n"
          "[SmallMatrix]\nCPU=0,1\n",
          {"Sort", "SmallTransform", "SmallMatrix"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 6u);

  const json& sort = records[1]["figures"];
  EXPECT_EQ(records[1]["processor"], 1);
  EXPECT_EQ(sort["elements"], 3000);
  for (const char* name :
       {"quick_sort_seconds", "shell_sort_seconds", "merge_sort_seconds", "heap_sort_seconds"}) {
    EXPECT_GT(sort[name].get<double>(), 0.0) << name;
    EXPECT_LT(sort[name].get<double>(), records[1]["seconds"].get<double>()) << name;
  }

  const json& transform = records[2]["figures"];
  EXPECT_EQ(transform["last_length"], 48);
  for (const char* sum : {"sum_0", "sum_1"}) {
    const std::string text = transform[sum];
    const double value = strtod(text.c_str(), nullptr);
    uint64_t bits = 0;
    memcpy(&bits, &value, sizeof bits);
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    EXPECT_EQ(transform[std::string(sum) + "_bits"], hex) << text;
    EXPECT_GT(value, 0.0);
  }
  EXPECT_EQ(transform["sum_0_bits"], transform["sum_1_bits"]);

  // Both matrix workers compute the same element from the same start.
  EXPECT_EQ(records[3]["figures"]["order"], 5);
  EXPECT_TRUE(records[3]["figures"]["element_0_0"].is_number_integer());
  EXPECT_EQ(records[3]["figures"], records[4]["figures"]);
  EXPECT_EQ(records[4]["processor"], 1);
}

// A processor fault in one worker: its record carries the fault's text; each pass and test
// gets its records, and a second run appends under a run name of its own.
TEST_F(RunRecordEndToEndTest, AFaultingWorkerStillGetsItsRecord) {
  const std::string ini = "[Main]\nLoop=2\n[NullRead]\nCPU=1\n[Pass]\nCPU=0\n";
  ASSERT_EQ(Run(ini, {"NullRead", "Pass"}).exit_code, 1);
  ASSERT_EQ(Run(ini, {"Pass"}).exit_code, 0);
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 6u + 4u);
  std::vector<std::string> seen;
  for (const json& record : records) {
    std::string line = record["record"];
    if (record.contains("test")) {
      line += " " + record["test"].get<std::string>() + " " +
              std::to_string(record["pass"].get<int>()) + " " + record["status"].get<std::string>();
    }
    seen.push_back(line);
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "run_start", "worker_end NullRead 1 failed", "worker_end Pass 1 passed",
                "worker_end NullRead 2 failed", "worker_end Pass 2 passed", "run_end", "run_start",
                "worker_end Pass 1 passed", "worker_end Pass 2 passed", "run_end"}))
      << records;
  EXPECT_EQ(records[1]["processor"], 1);
  EXPECT_TRUE(records[1]["error"].get<std::string>().starts_with(
      "Exception ACCESS_VIOLATION (0xc0000005) at address "))
      << records[1];
  EXPECT_EQ(records[5]["exit_code"], 1);
  EXPECT_NE(records[6]["run"], records[0]["run"]);
  EXPECT_EQ(records[9]["verdict"], "All tests passed successfully.");
}

TEST_F(RunRecordEndToEndTest, AnInterruptedRunEndsItsRecordMarkedSo) {
  WriteFile(dir_.File("probe.ini"), "[Spin]\nCPU=0,1\n");
  ProcessOptions options;
  options.working_dir = dir_.path();
  options.environment.emplace_back("FORGEVAL_SYSLOG_SOCKET", listener_.path());
  RunningProcess probe({program_, dir_.File("probe.ini"), "Spin"}, options);
  const auto both_spinning = [this] {
    const std::string log = Log();
    const size_t first = log.find(" : Spinning...");
    return first != std::string::npos && log.find(" : Spinning...", first + 1) != std::string::npos;
  };
  for (int i = 0; i < 1000 && !both_spinning(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  probe.Signal(SIGINT);
  ASSERT_EQ(probe.Wait().exit_code, 130);
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1]["status"], "interrupted");
  EXPECT_EQ(records[2]["status"], "interrupted");
  EXPECT_EQ(records[3]["interrupted"], true);
  EXPECT_EQ(records[3]["exit_code"], 130);
  EXPECT_TRUE(records[3]["verdict"].is_null());
}

// A fault in the driver's own code ends the run at once; the record still gets its end.
TEST_F(RunRecordEndToEndTest, ADriverFaultEndsTheRecordWithItsExitCode) {
  ASSERT_EQ(Run("[Main]\nLoop=1\n", {"DriverFault"}).exit_code, 255);
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["record"], "run_end");
  EXPECT_EQ(records[1]["exit_code"], 255);
  EXPECT_TRUE(records[1]["verdict"].is_null());
}

TEST_F(RunRecordEndToEndTest, AnEmptyResultFileTurnsTheRecordOff) {
  ASSERT_EQ(Run("[Main]\nResultFile=\n[Pass]\nCPU=0\n", {"Pass"}).exit_code, 0);
  EXPECT_FALSE(FileExists(dir_.File("forgeval.results.jsonl")));
}

}  // namespace
}  // namespace forgeval::testing
