#include "report/event_reporter.h"

#include <cassert>
#include <cstdio>

#include "platform/process.h"
#include "report/console.h"
#include "report/run_log.h"

namespace forgeval {
namespace {

EventReporter* g_instance = nullptr;

// User facility (1) times 8 plus error severity (3).
constexpr int kErrorPriority = 11;

// How long an entry waits for room in a full system-log queue: a healthy daemon drains a
// burst of errors in far less; one that stopped reading costs this once, since later entries
// are not waited for until one gets through again.
constexpr int kSendWaitMs = 100;

}  // namespace

EventReporter::EventReporter() {
  assert(g_instance == nullptr);
  g_instance = this;
}

EventReporter::~EventReporter() {
  DeregisterEventLogSource();
  g_instance = nullptr;
}

EventReporter* EventReporter::Instance() { return g_instance; }

bool EventReporter::RegisterEventLogSource() {
  dropped_ = 0;
  stalled_ = false;
  return socket_.Connect(platform::SyslogSocketPath());
}

int EventReporter::ReportErrorEvent(const char* text) {
  if (!socket_.connected() || text == nullptr) return 0;
  const std::string datagram = FormatErrorEvent(text, time(nullptr), platform::ProcessId());
  if (socket_.Send(datagram, stalled_.load() ? 0 : kSendWaitMs)) {
    stalled_ = false;
    return 1;
  }
  stalled_ = true;
  if (dropped_.fetch_add(1) == 0) {
    LogMessage("%s", kSyslogLaggingWarning);
    ConsolePrint("%s\n", kSyslogLaggingWarning);
  }
  return 0;
}

void EventReporter::DeregisterEventLogSource() { socket_.Close(); }

std::string FormatErrorEvent(std::string_view text, time_t now, int pid) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local {};
  localtime_r(&now, &local);
  char head[64];
  snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d %s[%d]: ", kErrorPriority,
           kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           kEventSourceName, pid);
  return head + EscapeControlBytes(text);
}

bool RegisterEventLogSource() {
  EventReporter* reporter = EventReporter::Instance();
  return reporter != nullptr && reporter->RegisterEventLogSource();
}

int ReportErrorEvent(const char* text) {
  EventReporter* reporter = EventReporter::Instance();
  return reporter == nullptr ? 0 : reporter->ReportErrorEvent(text);
}

uint64_t DroppedErrorEvents() {
  EventReporter* reporter = EventReporter::Instance();
  return reporter == nullptr ? 0 : reporter->dropped();
}

}  // namespace forgeval
