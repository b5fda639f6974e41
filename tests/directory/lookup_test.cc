#include "directory/lookup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <chrono>
#include <optional>
#include <thread>

#include "directory/connection.h"
#include "directory/directory_config.h"
#include "mail/mail_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/generalized_time.h"

namespace {

TEST(SearchFilterFor, EscapesTheFilterSpecialBytesOfBothAddresses) {
  config_set_defaults();
  // A sender placeholder that no value below holds, so that each value is
  // seen as escaped and nothing else.
  g_config.map_sender = "%s";
  g_config.queryfilter = "$recepient|%s";
  const std::pair<std::string, std::string> cases[] = {
      {"local.user@site", "local.user@site"},
      {"a*b", "a\\2ab"},
      {"(x)", "\\28x\\29"},
      {"back\\slash", "back\\5cslash"},
      {std::string("nul\0byte", 8), "nul\\00byte"},
      {"\\2a", "\\5c2a"},
      {"caf\xc3\xa9 $sender=&|!~<>", "caf\xc3\xa9 $sender=&|!~<>"},
      {"", ""},
  };
  for (const auto& [value, escaped] : cases) {
    EXPECT_EQ(search_filter_for(value, value), escaped + "|" + escaped);
  }
}

struct FilterCase {
  std::string queryfilter;
  std::string receiver;
  OptionalText sender;
  std::string filter;
};

TEST(SearchFilterFor, FillsReceiverThenSenderEscaped) {
  const FilterCase cases[] = {
      {"(&(mail=$recepient)(vacationActive=TRUE))", "local.user@site", "box@host",
       "(&(mail=local.user@site)(vacationActive=TRUE))"},
      {"(&(mail=$RECEPIENT)(!(blocked=$Sender)))", "a(b)@site", "*",
       "(&(mail=a\\28b\\29@site)(!(blocked=\\2a)))"},
      // The template is used as configured: its own wildcards stay.
      {"(&(mail=$recepient)(cn=*))", "x*", std::nullopt, "(&(mail=x\\2a)(cn=*))"},
      {"(|(mail=$recepient)(mail=$sender))", "r@site", std::nullopt, "(|(mail=r@site)(mail=))"},
      // Filled in one pass: a placeholder that an address brings in stays
      // as it is.
      {"(mail=$recepient)", "$sender@site", "b*x", "(mail=$sender@site)"},
      {"(|(a=$sender)(b=$recepient))", "$Recepient", "$recepient",
       "(|(a=$recepient)(b=$Recepient))"},
  };
  for (const FilterCase& c : cases) {
    config_set_defaults();
    g_config.queryfilter = c.queryfilter;
    EXPECT_EQ(search_filter_for(c.receiver, c.sender), c.filter);
  }
}

TEST(SearchFilterFor, FillsTheCurrentUtcTimeFirst) {
  struct Case {
    std::string queryfilter;
    std::string map_now;
    std::string receiver;
    std::string filter;  // "NOW" stands for the time
  } cases[] = {
      {"(&(mail=$recepient)(vacationEnd>=$now))", "$now", "r@site",
       "(&(mail=r@site)(vacationEnd>=NOW))"},
      {"(|(a<=$NOW)(b>=$now))", "$now", "r@site", "(|(a<=NOW)(b>=NOW))"},
      // An address that holds the placeholder is not taken for it.
      {"(mail=$recepient)", "$now", "$now@site", "(mail=$now@site)"},
      {"(x<=%t)", "%t", "r@site", "(x<=NOW)"},
      {"(x<=$now)", "", "r@site", "(x<=$now)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queryfilter);
    config_set_defaults();
    g_config.queryfilter = c.queryfilter;
    g_config.map_now = c.map_now;
    const std::string before = generalized_time_utc(time(nullptr));
    const std::string filter = search_filter_for(c.receiver, std::nullopt);
    const std::string after = generalized_time_utc(time(nullptr));
    std::string expected_before = c.filter, expected_after = c.filter;
    for (size_t at; (at = expected_before.find("NOW")) != std::string::npos;) {
      expected_before.replace(at, 3, before);
      expected_after.replace(at, 3, after);
    }
    EXPECT_TRUE(filter == expected_before || filter == expected_after) << filter;
    ASSERT_EQ(before.size(), 15u);
  }
}

const std::string kAliceReply = "To: $sender\nSubject: Re: $subject\n\n$recepient is away.\n";

// More entries for crowd@example.org than a lookup reads ahead.
constexpr int kCrowd = static_cast<int>(kEntriesReadAhead) + 4;
std::string crowd() {
  std::string ldif;
  for (int n = 1; n <= kCrowd; ++n) {
    ldif += ldif_person("crowd" + std::to_string(n), "crowd@example.org", "TRUE",
                        {"crowd " + std::to_string(n)});
  }
  return ldif;
}

std::string test_directory() {
  return ldif_people_unit() + ldif_person("alice", "alice@example.org", "TRUE", {kAliceReply}) +
         ldif_person("bob", "bob@example.org", "FALSE", {"Bob is not away."}) +
         ldif_person("carol", "carol@example.org", "TRUE", {"first text", "second text"}) +
         ldif_person("team1", "team@example.org", "TRUE", {"team one"}) +
         ldif_person("team2", "team@example.org", "TRUE", {}) +
         ldif_person("team3", "team@example.org", "TRUE", {"team three"}) +
         ldif_person("dave", "dave@example.org", "TRUE", {}) +
         ldif_person("erin", "erin@example.org", "TRUE", {"$subject|$first|$phone|$recepient"},
                     "givenName: Erin $sender\n"
                     "description: intern\ndescription: second\n"
                     "vacationEnd: 20310102030405Z\n") +
         ldif_person("odd", "odd(x)@example.org", "TRUE", {"odd one"}) +
         ldif_person("slash", "back\\slash@example.org", "TRUE", {"backslash one"}) +
         ldif_person("star", "*@example.org", "TRUE", {"star one"}) + crowd();
}

// A running directory with the entries above, and a session bound to it.
class LookupTest : public testing::Test {
 protected:
  void SetUp() override {
    configure_for(server_);
    g_config.protocol = 3;
    session_ = connected();
  }
  void TearDown() override { session_.reset(); }

  // The entries for receiver, read to the end.
  std::vector<DirectoryEntry> entries(const std::string& receiver,
                                      const StringList& address_attributes = {}) {
    return all_entries(directory_lookup(*session_, receiver, sender_, address_attributes));
  }
  // The texts of the entries for receiver that have one, in result order.
  StringList lookup(const std::string& receiver) {
    StringList texts;
    for (const DirectoryEntry& entry : entries(receiver)) {
      if (entry.text) texts.push_back(*entry.text);
    }
    return texts;
  }

  SlapdServer server_{SlapdOptions().entries(test_directory())};
  OptionalText sender_ = "box@host";
  std::optional<DirectorySession> session_;
};

TEST_F(LookupTest, HandsOverTheEntryAsStored) {
  LogCapture capture;
  const std::vector<DirectoryEntry> found = entries("alice@example.org");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].dn, "uid=alice,ou=people,dc=example,dc=org");
  // The text as stored: its placeholders are filled when the reply is
  // composed, not here.
  EXPECT_EQ(found[0].text, kAliceReply);
  EXPECT_FALSE(found[0].internal_text);
  EXPECT_TRUE(found[0].fields.empty());
  EXPECT_TRUE(found[0].dates.empty());
  EXPECT_TRUE(found[0].addresses.empty());
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LookupTest, EntriesComeOneAtATimeInResultOrder) {
  g_config.loglevel = 3;
  LogCapture capture;
  Result<DirectoryEntries> team = directory_lookup(*session_, "team@example.org", sender_);
  ASSERT_TRUE(team.ok());
  // Entry order is the search result's; team2 has no reply text.
  const std::pair<const char*, OptionalText> expected[] = {
      {"uid=team1,ou=people,dc=example,dc=org", "team one"},
      {"uid=team2,ou=people,dc=example,dc=org", std::nullopt},
      {"uid=team3,ou=people,dc=example,dc=org", "team three"},
  };
  for (const auto& [dn, text] : expected) {
    const Result<std::optional<DirectoryEntry>> next = team->next();
    ASSERT_TRUE(next.ok()) << next.failure().reason;
    const std::optional<DirectoryEntry>& entry = *next;
    ASSERT_TRUE(entry) << dn;
    EXPECT_EQ(entry->dn, dn);
    EXPECT_EQ(entry->text, text);
  }
  for (int i = 0; i < 2; ++i) {  // and stays at the end
    const Result<std::optional<DirectoryEntry>> next = team->next();
    ASSERT_TRUE(next.ok());
    EXPECT_FALSE(*next);
  }
  // The first value of several.
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
  // Found, but without a reply text: an entry all the same, and no "No
  // match".
  const std::vector<DirectoryEntry> dave = entries("dave@example.org");
  ASSERT_EQ(dave.size(), 1u);
  EXPECT_FALSE(dave[0].text);
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LookupTest, ReadsMappedValuesAndAddressesAsStored) {
  g_config.map_field_placeholders = {"$first", "$phone"};
  g_config.map_field_attributes = {"givenName", "telephoneNumber", g_config.result};
  g_config.map_date_placeholders = {"$until", "$since"};
  g_config.map_date_attributes = {"vacationEnd", "vacationStart"};
  const size_t mark = server_.log_mark();
  const std::vector<DirectoryEntry> found = entries("erin@example.org", {"mail", "description"});
  ASSERT_EQ(found.size(), 1u);
  const DirectoryEntry& erin = found[0];
  // Placeholder text in a value is no placeholder here; a missing attribute
  // gives an empty value; a date stays as stored.
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(erin.fields, (Pairs{{"$first", "Erin $sender"}, {"$phone", ""}}));
  EXPECT_EQ(erin.dates, (Pairs{{"$until", "20310102030405Z"}, {"$since", ""}}));
  // Every value of each address attribute, attribute by attribute.
  EXPECT_EQ(erin.addresses, (StringList{"erin@example.org", "intern", "second"}));
  // Only the attributes needed are asked for.
  EXPECT_NE(server_.log_since(mark).find(" SRCH attr=givenName telephoneNumber vacationInfo "
                                         "vacationEnd vacationStart mail description\n"),
            std::string::npos)
      << server_.log_since(mark);
}

TEST_F(LookupTest, InternalTextIsReadOnlyWhenInUse) {
  struct Case {
    const char* name;
    bool internal_result;
    StringList internal_domains;
    bool asked;
  } cases[] = {
      {"both set", true, {"example.org"}, true},
      {"no internal domains", true, {}, false},
      {"no internal_result", false, {"example.org"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_config.internal_result = c.internal_result ? OptionalText("description") : std::nullopt;
    g_config.internal_domains = c.internal_domains;
    const size_t mark = server_.log_mark();
    const std::vector<DirectoryEntry> found = entries("erin@example.org");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].internal_text, c.asked ? OptionalText("intern") : std::nullopt);
    EXPECT_EQ(found[0].text, "$subject|$first|$phone|$recepient");
    const bool requested =
        server_.log_since(mark).find(" SRCH attr=vacationInfo description\n") != std::string::npos;
    EXPECT_EQ(requested, c.asked);
  }
}

TEST_F(LookupTest, NoMatchGivesNoEntries) {
  for (const int loglevel : {2, 3}) {
    g_config.loglevel = loglevel;
    LogCapture capture;
    EXPECT_TRUE(entries("nobody@example.org").empty());
    EXPECT_TRUE(entries("bob@example.org").empty());  // not active
    EXPECT_TRUE(entries("evil\n@example.org").empty());
    const std::vector<LogRecord> expected =
        loglevel < 3
            ? std::vector<LogRecord>{}
            : std::vector<LogRecord>{
                  {LOG_DEBUG,
                   "DEBUG/LDAP No match: (&(mail=nobody@example.org)(vacationActive=TRUE))"},
                  {LOG_DEBUG,
                   "DEBUG/LDAP No match: (&(mail=bob@example.org)(vacationActive=TRUE))"},
                  {LOG_DEBUG,
                   "DEBUG/LDAP No match: (&(mail=evil?@example.org)(vacationActive=TRUE))"}};
    EXPECT_EQ(capture.records(), expected);
  }
}

TEST_F(LookupTest, WrongBaseGivesNoEntries) {
  struct Case {
    const char* name;
    std::string base;
  };
  const Case cases[] = {
      {"base that does not exist", "dc=nowhere,dc=org"},
      {"base that is no DN", "no DN at all"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_config.base = c.base;
    for (const int loglevel : {0, 1}) {
      g_config.loglevel = loglevel;
      LogCapture capture;
      EXPECT_TRUE(entries("alice@example.org").empty());
      const std::vector<LogRecord> expected =
          loglevel == 0 ? std::vector<LogRecord>{}
                        : std::vector<LogRecord>{{LOG_WARNING, "WARN/LDAP Wrong query base?"}};
      EXPECT_EQ(capture.records(), expected);
    }
  }
}

// A filter the library cannot send is no answer to the question: dropping
// the receiver for it would lose replies without a word.
TEST_F(LookupTest, FilterThatDoesNotParseIsAFailure) {
  g_config.queryfilter = "(mail=$recepient";
  for (const int loglevel : {0, 1}) {
    g_config.loglevel = loglevel;
    LogCapture capture;
    const Result<DirectoryEntries> failed =
        directory_lookup(*session_, "alice@example.org", sender_);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.failure().kind, Outcome::kRetry);
    EXPECT_EQ(failed.failure().priority, LOG_ERR);
    EXPECT_EQ(failed.failure().reason, "CRIT/LDAP Bad search filter");
    EXPECT_TRUE(capture.records().empty());  // logged by whoever ends the run
  }
}

// The server's size limit cuts the three team entries short after the
// first: that one must not be used, the set is incomplete.
TEST_F(LookupTest, SizeLimitGivesNoEntriesAtEveryLoglevel) {
  const int one = 1;
  ASSERT_EQ(ldap_set_option(session_->handle(), LDAP_OPT_SIZELIMIT, &one), LDAP_OPT_SUCCESS);
  for (const int loglevel : {0, 3}) {
    g_config.loglevel = loglevel;
    LogCapture capture;
    EXPECT_TRUE(entries("team@example.org").empty());
    const std::vector<LogRecord> expected{
        {LOG_ERR,
         "WARN/LDAP Size limit exceeded for (&(mail=team@example.org)(vacationActive=TRUE))"}};
    EXPECT_EQ(capture.records(), expected);
    // One match is within the limit.
    EXPECT_EQ(lookup("alice@example.org"), StringList{kAliceReply});
  }
}

// A result longer than what is read ahead comes whole, in order; entries
// given up before the end abandon the search, and the session serves the
// next lookup as if nothing had been left.
TEST_F(LookupTest, LongResultComesWholeAndOneGivenUpLeavesTheSessionUsable) {
  StringList expected;
  for (int n = 1; n <= kCrowd; ++n) expected.push_back("crowd " + std::to_string(n));
  EXPECT_EQ(lookup("crowd@example.org"), expected);
  for (const size_t taken : {size_t{1}, kEntriesReadAhead + 1}) {
    SCOPED_TRACE(taken);
    const size_t mark = server_.log_mark();
    {
      Result<DirectoryEntries> crowd = directory_lookup(*session_, "crowd@example.org", sender_);
      ASSERT_TRUE(crowd.ok());
      for (size_t i = 0; i < taken; ++i) {
        const Result<std::optional<DirectoryEntry>> next = crowd->next();
        ASSERT_TRUE(next.ok() && *next);
        EXPECT_EQ((*next)->text, expected[i]);
      }
    }
    EXPECT_EQ(lookup("alice@example.org"), StringList{kAliceReply});
    EXPECT_EQ(lookup("crowd@example.org"), expected);
    // slapd logs the abandon when one of its threads gets to it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server_.log_since(mark).find(" ABANDON ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(server_.log_since(mark).find(" ABANDON "), std::string::npos);
  }
}

TEST_F(LookupTest, AddressesCannotRewriteTheFilter) {
  const std::pair<std::string, StringList> cases[] = {
      {"odd(x)@example.org", {"odd one"}},
      {"back\\slash@example.org", {"backslash one"}},
      {"*@example.org", {"star one"}},
      // Put in as they stand, these would match every active entry, match
      // by substring, or switch off the vacationActive test.
      {"*", {}},
      {"odd*", {}},
      {"bob@example.org)(|(vacationActive=FALSE", {}},
  };
  for (const auto& [receiver, replies] : cases) {
    EXPECT_EQ(lookup(receiver), replies) << receiver;
  }
  // The sender goes in escaped as well.
  g_config.queryfilter = "(&(|(mail=$recepient)(mail=$sender))(vacationActive=TRUE))";
  sender_ = "*";
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
}

// A directory that stops answering during the search must not count as
// one without entries: the lookup fails (after the search time limit) so
// that the message is tried again later, and the run ends with exactly
// the line and status of a failed connection.
using LookupDeathTest = LookupTest;

TEST_F(LookupDeathTest, SilentServerIsAFailureThatEndsTheRun) {
  g_config.loglevel = 1;
  LogCapture capture;
  server_.stop();
  const Result<DirectoryEntries> failed =
      directory_lookup(*session_, "alice@example.org", sender_);  // after 10 s
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.failure().priority, LOG_ERR);
  EXPECT_EQ(failed.failure().reason, "CRIT/LDAP Timed out");
  EXPECT_TRUE(capture.records().empty());  // logged by whoever ends the run
  EXPECT_EXIT(end_run_unless_ok(failed), testing::ExitedWithCode(1),
              "^3\\|CRIT/LDAP Timed out\norvelt: CRIT/LDAP Timed out\n$");
  server_.cont();
  // The search went out on this session's connection: start afresh.
  session_.reset();
  session_ = connected();
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
}

}  // namespace
