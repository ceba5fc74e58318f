#include "run/time_limit.h"

#include <cctype>

#include "platform/interrupt.h"

namespace forgeval {
namespace {

struct Unit {
  char letter;
  int64_t seconds;
};
constexpr Unit kUnits[] = {{'s', 1}, {'m', 60}, {'h', 60 * 60}, {'d', 24 * 60 * 60}};

}  // namespace

DurationSetting ParseDuration(std::string_view text) {
  DurationSetting setting;
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  const std::string_view unit_text = text.substr(digits);
  const Unit* unit = unit_text.empty() ? &kUnits[0] : nullptr;
  for (const Unit& known : kUnits) {
    if (unit_text.size() == 1 &&
        std::tolower(static_cast<unsigned char>(unit_text[0])) == known.letter)
      unit = &known;
  }
  if (text.empty()) return setting;
  if (digits == 0 || unit == nullptr) {
    setting.misread = "is read as no time limit";
    return setting;
  }
  // Counted in the value's own unit, held at the longest limit long before it could overflow.
  const int64_t most = kLongestTimeLimitSeconds / unit->seconds;
  int64_t count = 0;
  for (size_t i = 0; i < digits && count <= most; ++i) count = count * 10 + (text[i] - '0');
  if (count > most) {
    setting.seconds = kLongestTimeLimitSeconds;
    setting.shown = std::to_string(kLongestTimeLimitSeconds / kUnits[3].seconds) + "d";
    setting.misread = "is held at " + setting.shown + " (10 years)";
    return setting;
  }
  setting.seconds = count * unit->seconds;
  if (count > 0) setting.shown = std::to_string(count) + unit->letter;
  return setting;
}

TimeLimit::TimeLimit(int64_t seconds) {
  if (seconds <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  timer_ = std::thread([this, deadline] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cancelled_.wait_until(lock, deadline, [this] { return cancel_; }))
      platform::RequestStop(platform::StopReason::kTimeLimit);
  });
}

TimeLimit::~TimeLimit() {
  if (!timer_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
  }
  cancelled_.notify_all();
  timer_.join();
}

}  // namespace forgeval
