#include "run/time_limit.h"

#include <gtest/gtest.h>

#include "report/live_status.h"

namespace forgeval {
namespace {

// Every form of the value: the seconds the run uses, the limit as it names it, and what the
// configuration warning says of it (the end-to-end runs show a whole warning line).
TEST(TimeLimitTest, DurationValuesAndTheirWarnings) {
  const std::string none = "is read as no time limit", held = "is held at 3650d (10 years)";
  const struct {
    const char* text;
    int64_t seconds;
    const char* shown;
    std::string misread;
  } rows[] = {
      // clang-format off
      {"90s", 90, "90s", ""}, {"45m", 2700, "45m", ""}, {"12H", 43200, "12h", ""},
      {"2d", 172800, "2d", ""}, {"007", 7, "7s", ""}, {"", 0, "", ""}, {"0", 0, "", ""},
      {"0h", 0, "", ""}, {"12x", 0, "", none}, {"-5m", 0, "", none}, {"h", 0, "", none},
      {"1.5h", 0, "", none}, {"12 h", 0, "", none}, {"3650d", 315360000, "3650d", ""},
      {"3651d", 315360000, "3650d", held}, {"99999999999999999999999s", 315360000, "3650d", held},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const DurationSetting setting = ParseDuration(row.text);
    EXPECT_EQ(setting.seconds, row.seconds);
    EXPECT_EQ(setting.shown, row.shown);
    EXPECT_EQ(setting.misread, row.misread);
  }
}

// Passes without a count, and the time left, never below zero.
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
