#include "run/time_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/interrupt.h"
#include "report/live_status.h"
#include "run/config_check.h"
#include "temp_dir.h"

namespace forgeval {
namespace {

// Every form of the value: what the run uses, what it names, and the configuration warning
// (the same text the warning line carries), for each value read as the table says.
TEST(TimeLimitTest, DurationValuesAndTheirWarnings) {
  const std::string held = "is held at 3650d (10 years)";
  const std::string none = "is read as no time limit";
  struct Row {
    const char* text;
    int64_t seconds;
    const char* shown;
    std::string misread;
  } rows[] = {
      {"90s", 90, "90s", ""},
      {"45m", 2700, "45m", ""},
      {"12h", 43200, "12h", ""},
      {"2d", 172800, "2d", ""},
      {"12H", 43200, "12h", ""},
      {"007m", 420, "7m", ""},
      {"5400", 5400, "5400s", ""},
      {"", 0, "", ""},
      {"0", 0, "", ""},
      {"0h", 0, "", ""},
      {"12x", 0, "", none},
      {"-5m", 0, "", none},
      {"h", 0, "", none},
      {"12 h", 0, "", none},
      {"1.5h", 0, "", none},
      {"3650d", kLongestTimeLimitSeconds, "3650d", ""},
      {"315360000", kLongestTimeLimitSeconds, "315360000s", ""},
      {"3651d", kLongestTimeLimitSeconds, "3650d", held},
      {"87601h", kLongestTimeLimitSeconds, "3650d", held},
      {"315360001", kLongestTimeLimitSeconds, "3650d", held},
      {"99999999999999999999999d", kLongestTimeLimitSeconds, "3650d", held},
  };
  testing::TempDir dir;
  const std::string path = dir.File("forgeval.ini");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const DurationSetting setting = ParseDuration(row.text);
    EXPECT_EQ(setting.seconds, row.seconds);
    EXPECT_EQ(setting.shown, row.shown);
    EXPECT_EQ(setting.misread, row.misread);
    testing::WriteFile(path, std::string("[Main]\nLoop=1\nDuration=") + row.text + "\n");
    const std::vector<std::string> expected =
        row.misread.empty()
            ? std::vector<std::string>{}
            : std::vector<std::string>{"Warning: " + path + " line 3: [Main] Duration=" + row.text +
                                       " " + row.misread};
    EXPECT_EQ(ConfigurationWarnings(path), expected);
  }
}

// A limit asks for a stop with its reason when its time is up, not before; one destroyed
// earlier asks nothing (the stop request is for the whole process: the firing one runs in a
// child).
TEST(TimeLimitTest, AsksForAStopWhenTheTimeIsUpUnlessCancelled) {
  { const TimeLimit cancelled(3600); }
  { const TimeLimit none(0); }
  EXPECT_FALSE(platform::StopRequested());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const auto start = std::chrono::steady_clock::now();
        const TimeLimit limit(1);
        while (!platform::StopRequested()) std::this_thread::yield();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const bool right = platform::StopRequestReason() == platform::StopReason::kTimeLimit;
        std::_Exit(right && took.count() >= 1 && took.count() < 1.5 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The live status counts passes without a count and shows the time left, never below zero.
TEST(TimeLimitTest, LiveStatusShowsTheTimeLeft) {
  SetLiveStage(7, 0, "FFT");
  SetLiveTimeLimit(90061);
  SetWorkerProgress(0, 0.37);
  EXPECT_EQ(LiveStatusText(65), "[Loop 7 | FFT | T0  37% | 00:01:05 | 24:59:56 left]");
  EXPECT_EQ(LiveStatusText(90070), "[Loop 7 | FFT | T0  37% | 25:01:10 | 00:00:00 left]");
  SetLiveStage(2, 5, "Memory");
  SetLiveTimeLimit(0);
  EXPECT_EQ(LiveStatusText(3599), "[Loop 2 of 5 | Memory | | 00:59:59]");
}

}  // namespace
}  // namespace forgeval
