#include "syslog_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

namespace forgeval::testing {

SyslogListener::SyslogListener(std::string path) : path_(std::move(path)) {
  sockaddr_un address{AF_UNIX, {}};
  if (path_.copy(address.sun_path, sizeof address.sun_path) == sizeof address.sun_path)
    throw std::runtime_error("path too long: " + path_);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot bind " + path_);
}

SyslogListener::~SyslogListener() {
  if (fd_ >= 0) close(fd_);
  unlink(path_.c_str());
}

std::vector<std::string> SyslogListener::Drain(int wait_ms) {
  std::vector<std::string> datagrams;
  char buffer[65536];
  for (pollfd ready{fd_, POLLIN, 0}; poll(&ready, 1, datagrams.empty() ? wait_ms : 0) > 0;) {
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0) break;
    datagrams.emplace_back(buffer, static_cast<size_t>(got));
  }
  return datagrams;
}

}  // namespace forgeval::testing
