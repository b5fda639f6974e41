#include "mail/automatic.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AutomaticMail, RobotAddresses) {
  const struct {
    const char* address;
    bool robot;
  } cases[] = {
      {"noreply@shop.example", true},
      {"NoReply-Alerts@bank.example", true},
      {"no-reply@host", true},
      {"No_Reply.News@host", true},
      {"DoNotReply@host", true},
      {"do-not-reply-billing@host", true},
      {"noreply", true},  // no domain: the whole address is the local part
      {"mailer-daemon@host", true},
      {"owner-friends@host", true},
      {"friends-request@host", true},
      // A word inside the local part, or in the domain, makes no robot.
      {"jane.noreply@host", false},
      {"replyno@host", false},
      {"no.reply@host", false},
      {"do-not@host", false},
      {"jane@noreply.example", false},
      {"postmaster@host", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_robot_address(c.address), c.robot) << c.address;
  }
}

TEST(AutomaticMail, DeliveryAndReadReportsByContentType) {
  const struct {
    const char* name;
    const char* value;
    const char* marked;  // null: not automatic
  } cases[] = {
      {"Content-Type", "multipart/report; report-type=delivery-status; boundary=\"b\"",
       "Content-Type"},
      {"content-type", "Multipart/Report;report-type=disposition-notification", "Content-Type"},
      {"CONTENT-TYPE", " (read receipt) multipart/report\r", "Content-Type"},
      {"Content-Type", "multipart/mixed; report-type=delivery-status", nullptr},
      {"Content-Type", "text/plain; name=\"multipart/report\"", nullptr},
      {"Content-Type", "multipart/reports", nullptr},
      {"Content-Type", "", nullptr},
      {"X-Content-Type", "multipart/report", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.value);
    const char* marked = automatic_mail_header(c.name, c.value);
    if (c.marked == nullptr) {
      EXPECT_EQ(marked, nullptr);
    } else {
      ASSERT_NE(marked, nullptr);
      EXPECT_STREQ(marked, c.marked);
    }
  }
}

}  // namespace
