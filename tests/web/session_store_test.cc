// Sessions: their ids and tokens, idle expiry on an injected clock, the
// cookie that carries them.
#include "web/session_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>

namespace {

using namespace std::chrono_literals;

bool is_hex_256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

struct Clocked {
  std::chrono::steady_clock::time_point now{};
  SessionStore store{30min, [this] { return now; }};
};

TEST(SessionStoreTest, IdsAndTokensAreFreshRandom256BitHex) {
  Clocked clocked;
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::optional<Session> session = clocked.store.create("jane@site", "uid=jane");
    ASSERT_TRUE(session);
    EXPECT_TRUE(is_hex_256(session->id)) << session->id;
    EXPECT_TRUE(is_hex_256(session->csrf)) << session->csrf;
    EXPECT_TRUE(seen.insert(session->id).second);
    EXPECT_TRUE(seen.insert(session->csrf).second) << "a token repeats an id or token";
  }
}

TEST(SessionStoreTest, ANewIdleTimeHoldsForTheSessionsThereAreToo) {
  Clocked clocked;
  const Session session = *clocked.store.create("jane@site", "uid=jane");
  clocked.store.set_idle(10min);
  clocked.now += 10min;
  EXPECT_TRUE(clocked.store.find(session.id));
  clocked.now += 10min + 1s;
  EXPECT_FALSE(clocked.store.find(session.id));
}

TEST(SessionStoreTest, ASessionLastsWhileUsedAndEndsAfterTheIdleTime) {
  Clocked clocked;
  const Session session = *clocked.store.create("jane@site", "uid=jane,ou=people");
  clocked.now += 30min;  // exactly the idle time: still valid
  const std::optional<Session> found = clocked.store.find(session.id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->login, "jane@site");
  EXPECT_EQ(found->dn, "uid=jane,ou=people");
  EXPECT_EQ(found->csrf, session.csrf);
  clocked.now += 29min;  // used above: the idle time started again
  EXPECT_TRUE(clocked.store.find(session.id));
  clocked.now += 30min + 1s;
  EXPECT_FALSE(clocked.store.find(session.id));
  clocked.now -= 1h;  // a dropped session does not come back
  EXPECT_FALSE(clocked.store.find(session.id));
}

TEST(SessionStoreTest, RemoveEndsOneSessionAndTheZoneIsKeptPerSession) {
  Clocked clocked;
  const Session a = *clocked.store.create("a@site", "uid=a");
  const Session b = *clocked.store.create("b@site", "uid=b");
  clocked.store.set_zone(a.id, "Europe/Berlin");
  EXPECT_EQ(clocked.store.find(a.id)->zone, "Europe/Berlin");
  EXPECT_EQ(clocked.store.find(b.id)->zone, "");
  // A save's notes are for the next page of that session only.
  clocked.store.set_notes(a.id, {{"start", "moved"}});
  EXPECT_TRUE(clocked.store.take_notes(b.id).empty());
  EXPECT_EQ(clocked.store.take_notes(a.id),
            (std::map<std::string, std::string>{{"start", "moved"}}));
  EXPECT_TRUE(clocked.store.take_notes(a.id).empty());
  clocked.store.remove(a.id);
  EXPECT_FALSE(clocked.store.find(a.id));
  EXPECT_TRUE(clocked.store.find(b.id));
  EXPECT_FALSE(clocked.store.find(""));
}

TEST(SessionStoreTest, TokensMatchOnlyWhenEqual) {
  const std::string token(64, 'a');
  struct Case {
    std::string expected, given;
    bool matches;
  };
  for (const Case& c :
       {Case{token, token, true}, Case{token, token.substr(0, 63) + "b", false},
        Case{token, "b" + token.substr(1), false}, Case{token, token.substr(0, 63), false},
        Case{token, token + "a", false}, Case{token, "", false}, Case{"", "", false}}) {
    EXPECT_EQ(token_matches(c.expected, c.given), c.matches) << c.expected << " / " << c.given;
  }
}

TEST(SessionStoreTest, CookieCarriesTheIdWithItsFlags) {
  EXPECT_EQ(session_cookie("ab12", true),
            "orvelt_session=ab12; Path=/; HttpOnly; SameSite=Strict; Secure");
  EXPECT_EQ(session_cookie("ab12", false),
            "orvelt_session=ab12; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(expired_session_cookie(false),
            "orvelt_session=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
  struct Case {
    const char* header;
    const char* id;
  };
  for (const Case& c :
       {Case{"orvelt_session=abc", "abc"}, Case{"a=b; orvelt_session=abc; c=d", "abc"},
        Case{"a=b;orvelt_session = abc ", "abc"}, Case{"xorvelt_session=abc", ""},
        Case{"orvelt_session_x=1; orvelt_session=2", "2"}, Case{"orvelt_session", ""},
        Case{"", ""}}) {
    EXPECT_EQ(session_id_of(c.header), c.id) << c.header;
  }
}

}  // namespace
