#include "syslog_listener.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <stdexcept>

namespace forgeval::testing {

SyslogListener::SyslogListener(std::string path) : path_(std::move(path)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
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
  pollfd ready{fd_, POLLIN, 0};
  int timeout = wait_ms;
  while (poll(&ready, 1, timeout) > 0) {
    char buffer[65536];
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0) break;
    datagrams.emplace_back(buffer, static_cast<size_t>(got));
    timeout = 0;
  }
  return datagrams;
}

}  // namespace forgeval::testing
