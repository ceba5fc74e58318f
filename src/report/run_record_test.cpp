#include "report/run_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system_queries.h"
#include "report/run_log.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

using nlohmann::json;
using testing::FileExists;
using testing::ReadFile;

std::vector<json> Records(const std::string& path) {
  std::vector<json> records;
  std::istringstream lines(ReadFile(path));
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  return records;
}

class RunRecordTest : public ::testing::Test {
 protected:
  void TearDown() override { RunRecordOpen("", ""); }
  testing::TempDir dir_;
};

TEST_F(RunRecordTest, ARunWritesItsRecordsAsParsableLinesUnderOneRunName) {
  RunRecordOpen(dir_.path(), "sub\\..\\results.jsonl");
  ASSERT_EQ(RunRecordPath(), dir_.path() + "/sub/../results.jsonl");
  mkdir(dir_.File("sub").c_str(), 0755);
  // A configuration path in another encoding: the byte becomes U+FFFD, the line stays JSON.
  RecordRunStart("1.3", "/etc/for\xe9val.ini", platform::RealSystemQueries());
  WorkerEndFacts facts{"FFT", 2, 1, 1, "failed", "[*** ERROR Thread 1 : mismatch ***]", 1.5, {}};
  facts.figures = {
      {"sum_0", std::string("0.10000000000000001")}, {"n", int64_t{-7}}, {"gb_per_s", 2.25}};
  RecordWorkerEnd(facts);
  RecordWorkerEnd({"FFT", 2, 0, std::nullopt, "passed", "", 0.25, {}});
  RecordRunEnd("Error: Some of the tests failed.", 1, false);

  const std::vector<json> records = Records(dir_.File("results.jsonl"));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0]["record"], "run_start");
  EXPECT_EQ(records[0]["configuration"], "/etc/for\xef\xbf\xbdval.ini");
  EXPECT_EQ(records[0]["processors_usable"], sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_GT(records[0]["memory_bytes"].get<uint64_t>(), 0u);
  for (const json& record : records) {
    EXPECT_EQ(record["run"], records[0]["run"]);
    EXPECT_EQ(record["time"].get<std::string>().size(), 20u) << record["time"];
  }
  EXPECT_EQ(records[1]["status"], "failed");
  EXPECT_EQ(records[1]["processor"], 1);
  EXPECT_EQ(records[1]["error"], "[*** ERROR Thread 1 : mismatch ***]");
  EXPECT_EQ(records[1]["figures"],
            json::parse(R"({"sum_0":"0.10000000000000001","n":-7,"gb_per_s":2.25})"));
  EXPECT_TRUE(records[2]["processor"].is_null());
  EXPECT_TRUE(records[2]["error"].is_null());
  EXPECT_EQ(records[3]["exit_code"], 1);
  EXPECT_EQ(records[3]["interrupted"], false);
  EXPECT_GE(records[3]["seconds"].get<double>(), 0.0);
}

TEST_F(RunRecordTest, AnEmptyNameWritesNothing) {
  RunRecordOpen(dir_.path(), "");
  EXPECT_EQ(RunRecordPath(), "");
  RecordRunEnd("All tests passed successfully.", 0, false);
  EXPECT_EQ(ReadFile(dir_.File("forgeval.results.jsonl")), "");
}

// A name that leads elsewhere is not written through, and the operator hears of it once.
TEST_F(RunRecordTest, APlantedLinkIsNotFollowedAndWarnsOnce) {
  testing::WriteFile(dir_.File("victim"), "keep\n");
  ASSERT_EQ(symlink(dir_.File("victim").c_str(), dir_.File("r.jsonl").c_str()), 0);
  RunLog log;
  log.Open(dir_.path(), "t.Log");
  RunRecordOpen(dir_.path(), "r.jsonl");
  ::testing::internal::CaptureStdout();
  RecordRunEnd(std::nullopt, 1, false);
  RecordRunEnd(std::nullopt, 1, false);
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(dir_.File("victim")), "keep\n");
  const std::string warning = "Warning: the run record " + dir_.File("r.jsonl") +
                              " cannot be written (Too many levels of symbolic links); the run "
                              "goes on without it\n";
  EXPECT_EQ(console, warning);
  const std::string text = ReadFile(dir_.File("t.Log"));
  EXPECT_NE(text.find(warning), std::string::npos) << text;
  EXPECT_EQ(text.find(warning), text.rfind(warning));
}

TEST(DoubleFiguresTest, TextAndBitsGiveBackTheSameDouble) {
  EXPECT_EQ(DoubleBits(1.0), "3ff0000000000000");
  EXPECT_EQ(DoubleBits(-0.0), "8000000000000000");
  EXPECT_EQ(DoubleText(0.1), "0.10000000000000001");
  EXPECT_EQ(strtod(DoubleText(1.0 / 3).c_str(), nullptr), 1.0 / 3);
}

}  // namespace
}  // namespace forgeval
