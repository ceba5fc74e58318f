// A datagram socket of the test's own in place of /dev/log: what the program sends there.
#ifndef FORGEVAL_TESTS_SUPPORT_SYSLOG_LISTENER_H_
#define FORGEVAL_TESTS_SUPPORT_SYSLOG_LISTENER_H_

#include <string>
#include <vector>

namespace forgeval::testing {

class SyslogListener {
 public:
  explicit SyslogListener(std::string path);  // binds a socket at `path`
  SyslogListener(const SyslogListener&) = delete;
  SyslogListener& operator=(const SyslogListener&) = delete;
  ~SyslogListener();

  const std::string& path() const { return path_; }
  // Every datagram that has arrived, waiting up to `wait_ms` for the first when none has.
  std::vector<std::string> Drain(int wait_ms = 0);

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_SYSLOG_LISTENER_H_
