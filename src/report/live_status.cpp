#include "report/live_status.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/terminal.h"
#include "report/run_log.h"

namespace forgeval {
namespace {

constexpr int kMaxWorkers = 10;
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr std::string_view kClearLine = "\r\033[K";

struct Status {
  std::mutex mutex;  // guards everything below and the terminal's last line
  std::condition_variable wake;
  bool running = false;
  bool stopping = false;
  int paused = 0;
  bool drawn = false;
  bool console_gone = false;  // standard output's reader or terminal went away
  int pass_number = 0;
  int pass_count = 0;           // 0: passes until the time limit
  long time_limit_seconds = 0;  // 0: none
  std::string test;
  std::array<double, kMaxWorkers> progress{};  // negative: no figure yet
  std::chrono::steady_clock::time_point start;
  std::thread redraw;
};

Status& TheStatus() {
  static Status status;
  return status;
}

// " 01:02:03" (hours may pass 99).
std::string ClockText(long seconds) {
  char clock[48];
  snprintf(clock, sizeof clock, " %02ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
           seconds % 60);
  return clock;
}

std::string TextLocked(const Status& status, long elapsed_seconds) {
  std::string text = "[Loop " + std::to_string(status.pass_number);
  if (status.pass_count > 0) text += " of " + std::to_string(status.pass_count);
  text += " | " + (status.test.empty() ? std::string("-") : status.test) + " |";
  for (int i = 0; i < kMaxWorkers; ++i) {
    const double fraction = status.progress[static_cast<size_t>(i)];
    if (fraction < 0) continue;
    char worker[32];
    snprintf(worker, sizeof worker, " T%d %3d%%", i, static_cast<int>(fraction * 100 + 0.5));
    text += worker;
  }
  text += " |" + ClockText(elapsed_seconds);
  if (status.time_limit_seconds > 0) {
    const long left = status.time_limit_seconds - elapsed_seconds;
    text += " |" + ClockText(left > 0 ? left : 0) + " left";
  }
  return text + "]";
}

long ElapsedLocked(const Status& status) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - status.start)
                               .count());
}

// Writes to standard output; the caller holds the mutex. A console whose pipe reader has
// ended (EPIPE) or whose terminal has hung up (EIO) is gone for good: nothing more is written
// to it, and the log says so once, since the run goes on without anyone watching.
void WriteLocked(Status& status, std::string_view text, bool flush) {
  if (status.console_gone) return;
  fwrite(text.data(), 1, text.size(), stdout);
  if (flush) fflush(stdout);
  if (!ferror(stdout)) return;
  const int error = errno;
  clearerr(stdout);
  if (error != EPIPE && error != EIO) return;
  status.console_gone = true;
  LogMessage("Warning: the console is gone (%s); the run goes on with the log and the run record",
             strerror(error));
}

// Draws the status on the current (last) line; the caller holds the mutex.
void DrawLocked(Status& status) {
  if (!status.running || status.paused > 0) return;
  std::string line(kClearLine);
  line += TextLocked(status, ElapsedLocked(status));
  WriteLocked(status, line, /*flush=*/true);
  status.drawn = true;
}

void EraseLocked(Status& status) {
  if (!status.drawn) return;
  WriteLocked(status, kClearLine, /*flush=*/true);
  status.drawn = false;
}

void RedrawLoop(Status* status) {
  std::unique_lock<std::mutex> lock(status->mutex);
  while (!status->stopping) {
    DrawLocked(*status);
    status->wake.wait_for(lock, kRedrawInterval);
  }
}

}  // namespace

void StartLiveStatus() {
  if (!platform::StandardOutputIsTerminal()) return;
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  if (status.running) return;
  status.running = true;
  status.stopping = false;
  status.start = std::chrono::steady_clock::now();
  status.progress.fill(-1);
  status.redraw = std::thread(&RedrawLoop, &status);
}

void StopLiveStatus() {
  Status& status = TheStatus();
  std::thread redraw;
  {
    std::lock_guard<std::mutex> lock(status.mutex);
    if (!status.running) return;
    status.stopping = true;
    EraseLocked(status);
    status.running = false;
    redraw = std::move(status.redraw);
  }
  status.wake.notify_all();
  redraw.join();
}

void SetLiveStage(int pass_number, int pass_count, std::string_view test) {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  status.pass_number = pass_number;
  status.pass_count = pass_count;
  status.test = test;
  status.progress.fill(-1);
}

void SetLiveTimeLimit(long seconds) {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  status.time_limit_seconds = seconds;
}

void SetWorkerProgress(int worker_index, double fraction) {
  if (worker_index < 0 || worker_index >= kMaxWorkers) return;
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  status.progress[static_cast<size_t>(worker_index)] = fraction < 0   ? 0
                                                       : fraction > 1 ? 1
                                                                      : fraction;
}

void WriteAroundStatus(std::string_view text) {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  if (!status.running) {
    WriteLocked(status, text, /*flush=*/false);
    return;
  }
  EraseLocked(status);
  WriteLocked(status, text, /*flush=*/false);
  if (!text.empty() && text.back() == '\n') DrawLocked(status);
}

void PauseLiveStatus() {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  ++status.paused;
  EraseLocked(status);
}

void ResumeLiveStatus() {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  if (status.paused > 0) --status.paused;
  DrawLocked(status);
}

std::string LiveStatusText(long elapsed_seconds) {
  Status& status = TheStatus();
  std::lock_guard<std::mutex> lock(status.mutex);
  return TextLocked(status, elapsed_seconds);
}

}  // namespace forgeval
