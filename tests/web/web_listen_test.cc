#include <gtest/gtest.h>
#include <syslog.h>

#include "web/web_server.h"

namespace {

TEST(WebListenTest, HostAndNumericPortOrAConfigurationError) {
  const Result<ListenAt> v4 = parse_web_listen("127.0.0.1:8080");
  ASSERT_TRUE(v4.ok());
  EXPECT_EQ(v4->host, "127.0.0.1");
  EXPECT_EQ(v4->port, 8080);
  const Result<ListenAt> v6 = parse_web_listen("[::1]:65535");
  ASSERT_TRUE(v6.ok());
  EXPECT_EQ(v6->host, "::1");
  EXPECT_EQ(v6->port, 65535);

  struct Case {
    const char* text;
    const char* reason;
  };
  for (const Case& c : {
           Case{"127.0.0.1:http", "CRIT/IO web_listen 127.0.0.1:http: bad port"},
           Case{"127.0.0.1:0", "CRIT/IO web_listen 127.0.0.1:0: bad port"},
           Case{"127.0.0.1:65536", "CRIT/IO web_listen 127.0.0.1:65536: bad port"},
           Case{"::1:8080",
                "CRIT/IO web_listen ::1:8080: an IPv6 address must be written in brackets"},
           Case{"8080", "CRIT/IO web_listen 8080: no :PORT after the host"},
       }) {
    const Result<ListenAt> at = parse_web_listen(c.text);
    ASSERT_FALSE(at.ok()) << c.text;
    EXPECT_EQ(at.failure().priority, LOG_ERR);
    EXPECT_EQ(at.failure().reason, c.reason);
  }
}

}  // namespace
