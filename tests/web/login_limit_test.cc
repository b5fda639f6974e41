// The failed-login limit per login and per client, on an injected clock,
// and which address a request counts as coming from.
#include "web/login_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;

struct Clocked {
  std::chrono::steady_clock::time_point now{};
  LoginLimit limit{[this] { return now; }};
};

TEST(LoginLimitTest, FiveFailuresOfALoginLimitItFromAnyClientCaseIgnored) {
  Clocked clocked;
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(clocked.limit.limited("jane@site", "10.0.0." + std::to_string(i)));
    clocked.limit.failed(i % 2 ? "JANE@site" : "jane@site", "10.0.0." + std::to_string(i));
  }
  EXPECT_TRUE(clocked.limit.limited("Jane@Site", "10.9.9.9"));
  EXPECT_FALSE(clocked.limit.limited("john@site", "10.9.9.9"));
}

TEST(LoginLimitTest, ALoginsFailuresCountWhateverBlanksAndCaseItIsWrittenWith) {
  // The directory finds the same entry for each of these.
  for (const char* same : {" jane@site", "jane@site ", "\tJANE@site\t", "  Jane@Site  "}) {
    Clocked clocked;
    for (int i = 0; i < 5; ++i) clocked.limit.failed("jane@site", "10.0.0." + std::to_string(i));
    EXPECT_TRUE(clocked.limit.limited(same, "10.9.9.9")) << '"' << same << '"';
    EXPECT_FALSE(clocked.limit.attempt(same, "10.9.9.9")) << '"' << same << '"';
  }
}

TEST(LoginLimitTest, AnAttemptCountsAsFailedUntilItSucceeds) {
  Clocked clocked;
  // Five attempts under way at once: a sixth is refused before any ends.
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(clocked.limit.attempt("jane@site", "10.0.0." + std::to_string(i)));
  }
  EXPECT_FALSE(clocked.limit.attempt("jane@site", "10.0.0.9"));
  EXPECT_TRUE(clocked.limit.limited("jane@site", "10.0.0.9"));
  // One of them succeeds: its count is taken back, for the login and the client.
  clocked.limit.succeeded("jane@site", "10.0.0.0");
  EXPECT_FALSE(clocked.limit.limited("jane@site", "10.0.0.9"));
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(clocked.limit.attempt("x@site", "10.0.0.0"));
  EXPECT_TRUE(clocked.limit.attempt("y@site", "10.0.0.0"));
  EXPECT_FALSE(clocked.limit.attempt("z@site", "10.0.0.0"));
  // A refused attempt counts nothing: the window empties on time.
  clocked.now += kLoginWindow;
  EXPECT_TRUE(clocked.limit.attempt("jane@site", "10.0.0.0"));
}

TEST(LoginLimitTest, FiveFailuresFromAClientLimitItForEveryLogin) {
  Clocked clocked;
  for (int i = 0; i < 5; ++i)
    clocked.limit.failed("user" + std::to_string(i) + "@site", "10.0.0.1");
  EXPECT_TRUE(clocked.limit.limited("new@site", "10.0.0.1"));
  EXPECT_FALSE(clocked.limit.limited("new@site", "10.0.0.2"));
  EXPECT_FALSE(clocked.limit.limited("user0@site", "10.0.0.2"));
}

TEST(LoginLimitTest, EachFailureCountsForOneMinute) {
  Clocked clocked;
  for (int i = 0; i < 5; ++i) {
    clocked.limit.failed("jane@site", "10.0.0.1");
    clocked.now += 10s;
  }
  // Failures at 0, 10, 20, 30 and 40 seconds.
  clocked.now = std::chrono::steady_clock::time_point{} + 59s;
  EXPECT_TRUE(clocked.limit.limited("jane@site", "10.0.0.2"));
  clocked.now += 1s;  // the first is a minute old: four left
  EXPECT_FALSE(clocked.limit.limited("jane@site", "10.0.0.2"));
  clocked.limit.failed("jane@site", "10.0.0.2");
  EXPECT_TRUE(clocked.limit.limited("jane@site", "10.0.0.3"));
  clocked.now += 41s;  // all but the last gone
  EXPECT_FALSE(clocked.limit.limited("jane@site", "10.0.0.1"));
}

TEST(LoginLimitTest, TheClientIsTheProxysLastForwardedAddressOnlyForATrustedProxy) {
  const StringList trusted{"127.0.0.1", "::1"};
  struct Case {
    const char* peer;
    const char* forwarded;
    const char* client;
  };
  for (const Case& c :
       {Case{"192.0.2.7", "10.0.0.1", "192.0.2.7"}, Case{"127.0.0.1", "10.0.0.1", "10.0.0.1"},
        Case{"127.0.0.1", "6.6.6.6, 10.0.0.1", "10.0.0.1"},
        Case{"127.0.0.1", " 6.6.6.6 ,10.0.0.1 , ", "10.0.0.1"},
        Case{"::1", "2001:db8::5", "2001:db8::5"}, Case{"::ffff:127.0.0.1", "10.0.0.1", "10.0.0.1"},
        Case{"::ffff:192.0.2.7", "10.0.0.1", "192.0.2.7"}, Case{"127.0.0.1", "", "127.0.0.1"},
        Case{"127.0.0.1", " , ", "127.0.0.1"}}) {
    EXPECT_EQ(client_address(c.peer, c.forwarded, trusted), c.client)
        << c.peer << " / " << c.forwarded;
  }
  EXPECT_EQ(client_address("127.0.0.1", "10.0.0.1", {}), "127.0.0.1");
}

}  // namespace
