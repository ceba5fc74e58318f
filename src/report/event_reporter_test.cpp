#include "report/event_reporter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "syslog_listener.h"
#include "temp_dir.h"
#include "text_match.h"

namespace forgeval {
namespace {

using testing::SyslogListener;
using testing::TempDir;

// Points the reporter at a socket of the test's own for the test's lifetime.
class ScopedSyslogPath {
 public:
  explicit ScopedSyslogPath(const std::string& path) {
    setenv(platform::kSyslogSocketVariable, path.c_str(), 1);
  }
  ~ScopedSyslogPath() { unsetenv(platform::kSyslogSocketVariable); }
};

TEST(EventReporterTest, FormatsOneErrorEntry) {
  // 6 December 2026, 09:05:07 local time.
  struct tm local {};
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = 9;
  local.tm_min = 5;
  local.tm_sec = 7;
  local.tm_isdst = -1;
  EXPECT_EQ(FormatErrorEvent("[*** ERROR Thread 0 : 100% bad ***]\n", mktime(&local), 4242),
            "<11>Dec  6 09:05:07 Forgeval[4242]: [*** ERROR Thread 0 : 100% bad ***]\n");
}

TEST(EventReporterTest, SendsEachErrorAsOneDatagram) {
  TempDir dir;
  SyslogListener listener(dir.File("log.sock"));
  ScopedSyslogPath scoped(listener.path());
  EventReporter reporter;
  ASSERT_TRUE(RegisterEventLogSource());
  EXPECT_EQ(ReportErrorEvent("[***ERROR Thread 1 : first ***]\n"), 1);
  EXPECT_EQ(ReportErrorEvent("Out of memory.\n"), 1);
  EXPECT_EQ(ReportErrorEvent(nullptr), 0);

  std::vector<std::string> datagrams = listener.Drain(1000);
  ASSERT_EQ(datagrams.size(), 2u);
  const std::string head = R"(<11>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d Forgeval\[)" +
                           std::to_string(getpid()) + R"(\]: )";
  EXPECT_TRUE(
      testing::FullMatch(datagrams[0], head + R"(\[\*\*\*ERROR Thread 1 : first \*\*\*\]\n)"))
      << datagrams[0];
  EXPECT_TRUE(testing::FullMatch(datagrams[1], head + "Out of memory\\.\n")) << datagrams[1];
}

TEST(EventReporterTest, WithoutListenerReportingStaysOff) {
  TempDir dir;
  ScopedSyslogPath scoped(dir.File("nobody.sock"));
  EventReporter reporter;
  EXPECT_FALSE(RegisterEventLogSource());
  EXPECT_EQ(ReportErrorEvent("lost\n"), 0);
}

TEST(EventReporterTest, ReconnectsWhenTheListenerCameBack) {
  TempDir dir;
  const std::string path = dir.File("log.sock");
  ScopedSyslogPath scoped(path);
  EventReporter reporter;
  {
    SyslogListener first(path);
    ASSERT_TRUE(RegisterEventLogSource());
  }
  SyslogListener second(path);
  EXPECT_EQ(ReportErrorEvent("after restart\n"), 1);
  std::vector<std::string> datagrams = second.Drain(1000);
  ASSERT_EQ(datagrams.size(), 1u);
  EXPECT_TRUE(datagrams[0].ends_with(": after restart\n"));
}

TEST(EventReporterTest, DeregisteredSourceWritesNothing) {
  TempDir dir;
  SyslogListener listener(dir.File("log.sock"));
  ScopedSyslogPath scoped(listener.path());
  EventReporter reporter;
  ASSERT_TRUE(RegisterEventLogSource());
  reporter.DeregisterEventLogSource();
  EXPECT_EQ(ReportErrorEvent("late\n"), 0);
  EXPECT_TRUE(listener.Drain(50).empty());
}

}  // namespace
}  // namespace forgeval
