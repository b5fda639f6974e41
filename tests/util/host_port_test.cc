#include "util/host_port.h"

#include <gtest/gtest.h>

namespace {

TEST(SplitHostPort, HostsPortsAndWhatIsWrong) {
  struct Case {
    const char* text;
    const char* host;  // nullptr: refused, with why
    const char* port_or_why;
  };
  for (const Case& c : {
           Case{"127.0.0.1:8080", "127.0.0.1", "8080"},
           Case{"localhost:lmtp", "localhost", "lmtp"},
           Case{"[::1]:24", "::1", "24"},
           Case{"[fe80::1%eth0]:24", "fe80::1%eth0", "24"},
           Case{"host", nullptr, "no :PORT after the host"},
           Case{"::1:24", nullptr, "an IPv6 address must be written in brackets"},
           Case{"[::1:24", nullptr, "no ] after the IPv6 address"},
           Case{"[::1]24", nullptr, "no :PORT after the host"},
           Case{"[::1]", nullptr, "no :PORT after the host"},
           Case{"[]:24", nullptr, "no host"},
           Case{":24", nullptr, "no host"},
           Case{"host:", nullptr, "no port"},
           Case{"", nullptr, "no :PORT after the host"},
       }) {
    SCOPED_TRACE(c.text);
    const char* why = nullptr;
    const std::optional<HostPort> parts = split_host_port(c.text, &why);
    if (c.host == nullptr) {
      EXPECT_FALSE(parts.has_value());
      ASSERT_NE(why, nullptr);
      EXPECT_STREQ(why, c.port_or_why);
    } else {
      ASSERT_TRUE(parts.has_value()) << why;
      EXPECT_EQ(parts->host, c.host);
      EXPECT_EQ(parts->port, c.port_or_why);
    }
  }
}

}  // namespace
