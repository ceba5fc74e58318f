// The system log as Linux offers it: datagrams on the unix socket /dev/log, where journald
// or rsyslog listen. glibc's syslog(3) would hide a missing listener; this class tells the
// caller whether it is connected, so reporting can stay off when nobody listens.
//
// On Windows the system log is the event log: Connect registers the event source "Forgeval"
// (the path is not used), and Send reports the datagram's message, the text after its
// "Forgeval[pid]: " header, as one error entry of that source.
#ifndef FORGEVAL_PLATFORM_SYSLOG_SOCKET_H_
#define FORGEVAL_PLATFORM_SYSLOG_SOCKET_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace forgeval::platform {

// Environment variable that names another socket instead of /dev/log (used by the tests to
// capture what the program sends).
inline constexpr const char* kSyslogSocketVariable = "FORGEVAL_SYSLOG_SOCKET";

// /dev/log, or the path in kSyslogSocketVariable when that is set and not empty.
std::string SyslogSocketPath();

// A connected datagram socket. Send may be called from several threads at once (each
// datagram is one system call); Connect and Close only while no Send runs.
class SyslogSocket {
 public:
  SyslogSocket() = default;
  SyslogSocket(const SyslogSocket&) = delete;
  SyslogSocket& operator=(const SyslogSocket&) = delete;
  ~SyslogSocket() { Close(); }

  bool Connect(const std::string& path);
  bool connected() const { return fd_ >= 0; }
  // Sends one datagram without ever blocking for long: when the listener's queue is full, it
  // waits up to `wait_ms` for room, then gives up (false, errno EAGAIN), so a system log that
  // stopped reading cannot hold up the caller. When the listener went away and came back
  // (journald restarted), the socket is reconnected once and the datagram sent again.
  bool Send(std::string_view datagram, int wait_ms);
  void Close();

 private:
  // The socket's descriptor; on Windows the event source's handle. -1 when not connected.
  intptr_t fd_ = -1;
  std::string path_;
};

}  // namespace forgeval::platform

#endif  // FORGEVAL_PLATFORM_SYSLOG_SOCKET_H_
