#include "platform/syslog_socket.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace forgeval::platform {
namespace {

int ConnectDatagram(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendOnce(int fd, std::string_view datagram, int wait_ms, int* error) {
  for (bool waited = false;;) {
    ssize_t sent = send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return true;
    if (errno == EINTR) continue;
    *error = errno;
    if (errno != EAGAIN || waited || wait_ms <= 0) return false;
    // Room in the listener's queue makes the socket writable; an interrupt ends the wait.
    pollfd writable{.fd = fd, .events = POLLOUT, .revents = 0};
    poll(&writable, 1, wait_ms);
    waited = true;
  }
}

}  // namespace

std::string SyslogSocketPath() {
  const char* configured = getenv(kSyslogSocketVariable);
  if (configured != nullptr && configured[0] != '\0') return configured;
  return "/dev/log";
}

bool SyslogSocket::Connect(const std::string& path) {
  Close();
  fd_ = ConnectDatagram(path);
  path_ = path;
  return fd_ >= 0;
}

bool SyslogSocket::Send(std::string_view datagram, int wait_ms) {
  if (fd_ < 0) return false;
  int error = 0;
  if (SendOnce(static_cast<int>(fd_), datagram, wait_ms, &error)) return true;
  if (error != ECONNREFUSED && error != ENOTCONN) {
    errno = error;
    return false;
  }
  // A fresh socket for this one retry; the old descriptor stays in place for the other
  // threads, which may be sending on it right now.
  int fresh = ConnectDatagram(path_);
  if (fresh < 0) return false;
  bool sent = SendOnce(fresh, datagram, wait_ms, &error);
  close(fresh);
  errno = error;
  return sent;
}

void SyslogSocket::Close() {
  if (fd_ >= 0) close(static_cast<int>(fd_));
  fd_ = -1;
}

}  // namespace forgeval::platform
