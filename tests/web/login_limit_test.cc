// The failed-login limit per login and per client, on an injected clock;
// attempts side by side, on threads; which address a request counts as
// coming from.
#include "web/login_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr LoginLimits kLimits{5, 8};
constexpr auto kNoWait = std::chrono::milliseconds(0);

struct Clocked {
  std::chrono::steady_clock::time_point now{};
  LoginLimit limit{[this] { return now; }};

  // Begins an attempt, fails it when fail, ends it; its turn.
  LoginLimit::Turn attempt(std::string_view login, std::string_view client, bool fail,
                           const LoginLimits& limits = kLimits) {
    LoginLimit::Attempt attempt = limit.begin(login, client, limits, kNoWait);
    if (fail) attempt.failed();
    return attempt.turn();
  }
  bool limited(std::string_view login, std::string_view client,
               const LoginLimits& limits = kLimits) {
    return limit.begin(login, client, limits, kNoWait).turn() == LoginLimit::Turn::limited;
  }
};

using Turn = LoginLimit::Turn;

TEST(LoginLimitTest, ALoginsFailuresCountFromAnyClientWhateverBlanksAndCaseItIsWrittenWith) {
  // The directory finds the same entry for each of these.
  for (const char* same :
       {"jane@site", " jane@site", "jane@site ", "\tJANE@site\t", "  Jane@Site  "}) {
    Clocked clocked;
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(
          clocked.attempt(i % 2 ? "JANE@site" : "jane@site", "10.0.0." + std::to_string(i), true),
          Turn::go);
    }
    EXPECT_TRUE(clocked.limited(same, "10.9.9.9")) << '"' << same << '"';
    EXPECT_FALSE(clocked.limited("john@site", "10.9.9.9"));
  }
}

TEST(LoginLimitTest, OnlyFailuresCountAndARefusedAttemptCountsNothing) {
  Clocked clocked;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", false), Turn::go);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", true), Turn::go);
  EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", false), Turn::go);
  EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", true), Turn::go);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", true), Turn::limited);
  }
  // The refused ones were not counted: the five failures leave the window
  // together.
  clocked.now += kLoginWindow;
  EXPECT_EQ(clocked.attempt("jane@site", "10.0.0.1", false), Turn::go);
}

TEST(LoginLimitTest, AClientsFailuresLimitItForEveryLoginAtItsOwnLimit) {
  Clocked clocked;
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(clocked.attempt("user" + std::to_string(i) + "@site", "10.0.0.1", true), Turn::go);
  }
  EXPECT_TRUE(clocked.limited("new@site", "10.0.0.1"));
  EXPECT_FALSE(clocked.limited("new@site", "10.0.0.2"));
  EXPECT_FALSE(clocked.limited("user0@site", "10.0.0.2"));
  // The limits are those of the attempt.
  EXPECT_FALSE(clocked.limited("new@site", "10.0.0.1", LoginLimits{5, 9}));
  EXPECT_TRUE(clocked.limited("user0@site", "10.0.0.2", LoginLimits{1, 50}));
}

TEST(LoginLimitTest, EachFailureCountsForOneMinute) {
  Clocked clocked;
  for (int i = 0; i < 5; ++i) {
    clocked.attempt("jane@site", "10.0.0.1", true);
    clocked.now += 10s;
  }
  // Failures at 0, 10, 20, 30 and 40 seconds.
  clocked.now = std::chrono::steady_clock::time_point{} + 59s;
  EXPECT_TRUE(clocked.limited("jane@site", "10.0.0.2"));
  clocked.now += 1s;  // the first is a minute old: four left
  EXPECT_FALSE(clocked.limited("jane@site", "10.0.0.2"));
  clocked.attempt("jane@site", "10.0.0.2", true);
  EXPECT_TRUE(clocked.limited("jane@site", "10.0.0.3"));
  clocked.now += 41s;  // all but the last gone
  EXPECT_FALSE(clocked.limited("jane@site", "10.0.0.1"));
}

// An attempt begun on a thread of its own: its turn once it has one.
class Waiting {
 public:
  Waiting(LoginLimit& limit, std::string login, std::string client, bool fail)
      : thread_([=, this, &limit] {
          LoginLimit::Attempt attempt = limit.begin(login, client, kLimits, 10s);
          if (fail) attempt.failed();
          turn_.set_value(attempt.turn());
        }) {}
  ~Waiting() { thread_.join(); }
  // Whether it has its turn within a while.
  bool has_turn(std::chrono::milliseconds within) {
    return turned_.wait_for(within) == std::future_status::ready;
  }
  Turn turn() { return turned_.get(); }

 private:
  std::promise<Turn> turn_;
  std::future<Turn> turned_ = turn_.get_future();
  std::thread thread_;
};

TEST(LoginLimitTest, AttemptsForOneLoginRunOneAtATime) {
  LoginLimit limit;
  std::optional<LoginLimit::Attempt> first;
  first.emplace(limit.begin("jane@site", "10.0.0.1", kLimits, kNoWait));
  ASSERT_EQ(first->turn(), Turn::go);
  Waiting second(limit, "Jane@site", "10.0.0.2", false);
  Waiting other(limit, "john@site", "10.0.0.1", false);
  EXPECT_TRUE(other.has_turn(5s)) << "another login waited";
  EXPECT_EQ(other.turn(), Turn::go);
  EXPECT_FALSE(second.has_turn(200ms)) << "the same login ran side by side";
  first.reset();
  ASSERT_TRUE(second.has_turn(5s));
  EXPECT_EQ(second.turn(), Turn::go);
  // One under way too long: the next gives up.
  LoginLimit::Attempt held = limit.begin("jane@site", "10.0.0.1", kLimits, 5s);
  ASSERT_EQ(held.turn(), Turn::go);
  EXPECT_EQ(limit.begin("jane@site", "10.0.0.3", kLimits, 50ms).turn(), Turn::busy);
}

TEST(LoginLimitTest, AnAttemptWaitsForTheOnesThatCouldFillItsLimitThenSeesTheirOutcome) {
  LoginLimit limit;
  // Four failures for jane: the attempt under way decides about the next.
  for (int i = 0; i < 4; ++i) limit.begin("jane@site", "10.0.0.1", kLimits, kNoWait).failed();
  std::optional<LoginLimit::Attempt> fifth;
  fifth.emplace(limit.begin("jane@site", "10.0.0.1", kLimits, kNoWait));
  Waiting sixth(limit, "jane@site", "10.0.0.2", false);
  EXPECT_FALSE(sixth.has_turn(200ms));
  fifth->failed();
  fifth.reset();
  ASSERT_TRUE(sixth.has_turn(5s));
  EXPECT_EQ(sixth.turn(), Turn::limited);

  // A client with failures and attempts under way that reach its limit
  // waits; one that ends well lets it go.
  for (int i = 0; i < 6; ++i) {
    limit.begin("u" + std::to_string(i) + "@site", "10.0.0.9", kLimits, kNoWait).failed();
  }
  std::optional<LoginLimit::Attempt> a, b;
  a.emplace(limit.begin("a@site", "10.0.0.9", kLimits, kNoWait));
  b.emplace(limit.begin("b@site", "10.0.0.9", kLimits, kNoWait));
  ASSERT_EQ(b->turn(), Turn::go);
  Waiting c(limit, "c@site", "10.0.0.9", false);
  EXPECT_FALSE(c.has_turn(200ms));
  a.reset();  // succeeded
  ASSERT_TRUE(c.has_turn(5s));
  EXPECT_EQ(c.turn(), Turn::go);
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
