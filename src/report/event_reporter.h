// The event reporter: every error a worker or the driver reports also goes, as one entry, to
// the machine's system log, so an unattended run leaves a trace beside the program's own log.
// Entries are RFC 3164 datagrams "<11>Mmm dd hh:mm:ss Forgeval[pid]: text" (user facility,
// error severity) on the system log socket; the receiving daemon records the sender's user.
// Progress lines, affinity errors and the verdict never go there.
//
// When registration fails (no listener on the socket), reporting stays off for the whole
// run and nothing says so: the run goes on unchanged.
//
// Reporting an error never holds up the test: an entry the system log does not take at once
// (its queue is full because it stopped reading, or it went away) is waited for briefly, then
// dropped and counted; the first drop of a run says once, on console and log, that the
// system log is not keeping up, and the count goes into the run record. While entries are
// being dropped, the next ones are not waited for at all.
//
// Exactly one EventReporter exists at a time; it registers itself on construction. Report
// may be called from several workers at once; Register and Deregister only while no worker
// runs.
#ifndef FORGEVAL_REPORT_EVENT_REPORTER_H_
#define FORGEVAL_REPORT_EVENT_REPORTER_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/syslog_socket.h"

namespace forgeval {

inline constexpr const char* kEventSourceName = "Forgeval";

class EventReporter {
 public:
  EventReporter();
  EventReporter(const EventReporter&) = delete;
  EventReporter& operator=(const EventReporter&) = delete;
  // Closes the event source.
  ~EventReporter();

  static EventReporter* Instance();

  // Connects to the system log socket; true when connected.
  bool RegisterEventLogSource();
  // Writes one error entry with `text` as its only content. Returns 1 when the entry was
  // handed to the system log, 0 when there is no source, no text, or the send failed.
  int ReportErrorEvent(const char* text);
  void DeregisterEventLogSource();
  // Entries that could not be handed to the system log since registration.
  uint64_t dropped() const { return dropped_.load(); }

 private:
  platform::SyslogSocket socket_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> stalled_{false};  // the last entry was dropped
};

// The line said once when the system log first drops an entry.
inline constexpr const char* kSyslogLaggingWarning =
    "Warning: the system log is not keeping up; error entries it cannot take are left out "
    "of it and counted in the run record";

// The datagram for one error entry at time `now` from process `pid`.
std::string FormatErrorEvent(std::string_view text, time_t now, int pid);

// RegisterEventLogSource and ReportErrorEvent on the process-wide reporter; both do nothing
// (false, 0) when none exists.
bool RegisterEventLogSource();
int ReportErrorEvent(const char* text);
// The process-wide reporter's dropped count; 0 when none exists.
uint64_t DroppedErrorEvents();

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_EVENT_REPORTER_H_
