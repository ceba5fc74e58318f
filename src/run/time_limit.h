// The run's time limit, the `Duration` key of [Main]: a number with a unit (90s, 45m, 12h,
// 2d) or a plain number of seconds; empty or 0 means no limit. When the time is up, the
// limit asks the run to stop (platform::RequestStop with kTimeLimit): every running worker
// stops at its next boundary and the run ends with its verdict.
#ifndef FORGEVAL_RUN_TIME_LIMIT_H_
#define FORGEVAL_RUN_TIME_LIMIT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace forgeval {

// The longest limit: 10 years of 365 days; a longer value is held at it.
inline constexpr int64_t kLongestTimeLimitSeconds = 3650LL * 24 * 60 * 60;

// What a `Duration` text is read as.
struct DurationSetting {
  int64_t seconds = 0;  // 0: no time limit
  std::string shown;    // the limit as the run names it: "12h", "90s", "3650d"; empty for none
  // How the text is misread, for the configuration warning ("is read as no time limit", "is
  // held at 3650d (10 years)"); empty when it is read as written.
  std::string misread;
};

DurationSetting ParseDuration(std::string_view text);

// A running time limit: asks the run to stop `seconds` after it was built. No limit for 0.
// Destroying it cancels a limit that has not run out. Build and destroy it on one thread.
class TimeLimit {
 public:
  explicit TimeLimit(int64_t seconds);
  ~TimeLimit();
  TimeLimit(const TimeLimit&) = delete;
  TimeLimit& operator=(const TimeLimit&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cancelled_;
  bool cancel_ = false;
  std::thread timer_;
};

}  // namespace forgeval

#endif  // FORGEVAL_RUN_TIME_LIMIT_H_
