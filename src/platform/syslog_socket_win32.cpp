// The event log: one registered source, one error entry per reported error. ReportEventA does
// not block on a slow log service, so Send needs no wait of its own.
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "platform/syslog_socket.h"

namespace forgeval::platform {
namespace {

constexpr const char* kSourceName = "Forgeval";

}  // namespace

std::string SyslogSocketPath() {
  const char* configured = getenv(kSyslogSocketVariable);
  if (configured != nullptr && configured[0] != '\0') return configured;
  return kSourceName;
}

bool SyslogSocket::Connect(const std::string& path) {
  Close();
  HANDLE source = RegisterEventSourceA(nullptr, kSourceName);
  if (source == nullptr) return false;
  fd_ = reinterpret_cast<intptr_t>(source);
  path_ = path;
  return true;
}

bool SyslogSocket::Send(std::string_view datagram, int) {
  if (fd_ < 0) return false;
  // The event log stamps time, source and process itself; the entry is the message alone.
  const size_t header_end = datagram.find("]: ");
  if (header_end != std::string_view::npos) datagram.remove_prefix(header_end + 3);
  const std::string message(datagram);
  const char* strings[] = {message.c_str()};
  if (ReportEventA(reinterpret_cast<HANDLE>(fd_), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings,
                   nullptr))
    return true;
  errno = EAGAIN;
  return false;
}

void SyslogSocket::Close() {
  if (fd_ >= 0) DeregisterEventSource(reinterpret_cast<HANDLE>(fd_));
  fd_ = -1;
}

}  // namespace forgeval::platform
