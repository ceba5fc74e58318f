// Where reports go besides the console: the run log, the system log and the run record.
#include "report/run_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "report/event_reporter.h"
#include "report/run_record.h"
#include "temp_dir.h"
#include "text_match.h"

namespace forgeval {
namespace {

using testing::ReadFile;

// The log's stamp is local time, month before day; the system log entry has its own.
TEST(RunLogTest, Timestamps) {
  tm local{};
  const time_t now = time(nullptr);
  EXPECT_STREQ(strptime(LogTimestamp().c_str(), "%m/%d/%Y %H:%M:%S", &local), "");
  local.tm_isdst = -1;
  EXPECT_LE(std::abs(difftime(mktime(&local), now)), 2.0) << LogTimestamp();
  strptime("12/06/2026 09:05:07", "%m/%d/%Y %H:%M:%S", &local);
  EXPECT_EQ(FormatErrorEvent("100% bad\n", mktime(&local), 4242),
            "<11>Dec  6 09:05:07 Forgeval[4242]: 100% bad\n");
}

// Links planted at the log's and the record's names are not followed: a log line is lost, a
// record is said to be lost once, on console and log. Bad UTF-8 in a record becomes U+FFFD.
TEST(RunLogTest, UnwritableFilesAndBadText) {
  testing::TempDir dir;
  ASSERT_EQ(symlink("target", dir.File("link").c_str()), 0);
  for (const char* name : {"link", "missing/run.Log"}) {
    RunLog log;
    log.Open(dir.path(), name);
    EXPECT_EQ(LogMessage("line"), 0) << name;
  }
  RunLog log;
  log.Open(dir.path(), "run.Log");
  RunRecordOpen(dir.path(), "link");
  ::testing::internal::CaptureStdout();
  RecordRunEnd(std::nullopt, 1, false);
  RecordRunEnd(std::nullopt, 1, false);
  const std::string warning = "Warning: the run record " + dir.File("link") +
                              " cannot be written (Too many levels of symbolic links); the run "
                              "goes on without it\n";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), warning);
  EXPECT_EQ(testing::CountMatches(ReadFile(log.path()), testing::Escaped(warning)), 1u);
  EXPECT_FALSE(testing::FileExists(dir.File("target")));
  RunRecordOpen(dir.path(), "r.jsonl");
  RecordWorkerEnd({"Disk", 2, 1, std::nullopt, "failed", "at \xe9t\xc3", 0.5, {{"n", int64_t{3}}}});
  RunRecordOpen("", "");
  EXPECT_TRUE(testing::FullMatch(
      ReadFile(dir.File("r.jsonl")),
      R"(\{"record":"worker_end","time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","run":"\d+-\d+",)"
      R"("test":"Disk","pass":2,"worker":1,"processor":null,"status":"failed",)"
      "\"error\":\"at "
      "\xef\xbf\xbdt\xef\xbf\xbd\",\"seconds\":0\\.5,\"figures\":\\{\"n\":3\\}\\}\n"));
}

}  // namespace
}  // namespace forgeval
