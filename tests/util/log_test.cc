#include "util/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <thread>

#include "support/log_capture.h"
#include "util/strings.h"

namespace {

TEST(Log, SinkSeesPriorityAndText) {
  LogCapture capture;
  log_message(LOG_ERR, "CRIT/IO %s", "/x");
  log_message(LOG_INFO, "WARN/IO %d%%", 5);
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_ERR, "CRIT/IO /x"}, {LOG_INFO, "WARN/IO 5%"}}));
}

// A thread's prefix begins each of its lines, long ones too; another
// thread's lines, and those of a thread that cleared it, have none.
TEST(Log, PrefixBeginsEveryLineOfItsThreadOnly) {
  const std::string long_text(20000, 'x');
  LogCapture capture;
  std::thread worker([&] {
    log_set_prefix("4F2A1: ");
    log_message(LOG_INFO, "INFO/MAIL %s %d%%", "sent", 5);
    log_message(LOG_WARNING, "%s", long_text.c_str());
    log_set_prefix("");
    log_message(LOG_INFO, "INFO/MAIL after");
  });
  worker.join();
  log_message(LOG_ERR, "CRIT/IO main");
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{{LOG_INFO, "4F2A1: INFO/MAIL sent 5%"},
                                                       {LOG_WARNING, "4F2A1: " + long_text},
                                                       {LOG_INFO, "INFO/MAIL after"},
                                                       {LOG_ERR, "CRIT/IO main"}}));
}

TEST(Log, SafeReplacesControlBytes) {
  EXPECT_EQ(log_safe("a\nb\rc\x7f\x01 d\xC3\xA4"), "a?b?c?? d\xC3\xA4");
}

TEST(Log, OutOfMemoryMessage) {
  EXPECT_EXIT(
      {
        LogCapture capture;
        exit_no_memory();
      },
      testing::ExitedWithCode(1), "3\\|CRIT/SYS Out of memory\norvelt: CRIT/SYS Out of memory\n$");
}

TEST(Log, FatalLogsWritesOneStderrLineAndExitsWithTheSetStatus) {
  EXPECT_EXIT(
      {
        LogCapture capture;
        log_set_fatal_status(75);
        log_fatal(LOG_ERR, "CRIT/LDAP %s", "Can't contact LDAP server");
      },
      testing::ExitedWithCode(75),
      "3\\|CRIT/LDAP Can't contact LDAP server\norvelt: CRIT/LDAP Can't contact LDAP server\n$");
}

// A failure reported before the end of the run: logged and on standard
// error each time, and the run goes on to end with the set status later.
TEST(Log, ReportedLinesGoToTheLogAndStandardErrorWithoutEndingTheRun) {
  EXPECT_EXIT(
      {
        LogCapture capture;
        log_set_fatal_status(75);
        log_reported(LOG_WARNING, "WARN/MAIL first");
        log_reported(LOG_WARNING, "WARN/MAIL 100% second");
        log_fatal(LOG_WARNING, "%s", "WARN/MAIL last");
      },
      testing::ExitedWithCode(75),
      "4\\|WARN/MAIL first\norvelt: WARN/MAIL first\n4\\|WARN/MAIL 100% second\n"
      "orvelt: WARN/MAIL 100% second\n4\\|WARN/MAIL last\norvelt: WARN/MAIL last\n$");
}

}  // namespace
