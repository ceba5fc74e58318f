// The event reporter: every error a worker or the driver reports also goes, as one entry, to
// the machine's system log, so an unattended run leaves a trace beside the program's own log.
// Entries are RFC 3164 datagrams "<11>Mmm dd hh:mm:ss Forgeval[pid]: text" (user facility,
// error severity) on the system log socket; the receiving daemon records the sender's user.
// Progress lines, affinity errors and the verdict never go there.
//
// When registration fails (no listener on the socket), reporting stays off for the whole
// run and nothing says so: the run goes on unchanged.
//
// Exactly one EventReporter exists at a time; it registers itself on construction. Report
// may be called from several workers at once; Register and Deregister only while no worker
// runs.
#ifndef FORGEVAL_REPORT_EVENT_REPORTER_H_
#define FORGEVAL_REPORT_EVENT_REPORTER_H_

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

 private:
  platform::SyslogSocket socket_;
};

// The datagram for one error entry at time `now` from process `pid`.
std::string FormatErrorEvent(std::string_view text, time_t now, int pid);

// RegisterEventLogSource and ReportErrorEvent on the process-wide reporter; both do nothing
// (false, 0) when none exists.
bool RegisterEventLogSource();
int ReportErrorEvent(const char* text);

}  // namespace forgeval

#endif  // FORGEVAL_REPORT_EVENT_REPORTER_H_
