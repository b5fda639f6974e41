#include "directory/lookup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <optional>

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
      // The receiver goes in first, so a sender placeholder it brings is
      // filled in too.
      {"(mail=$recepient)", "$sender@site", "b*x", "(mail=b\\2ax@site)"},
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

std::string test_directory() {
  return ldif_people_unit() + ldif_person("alice", "alice@example.org", "TRUE", {kAliceReply}) +
         ldif_person("bob", "bob@example.org", "FALSE", {"Bob is not away."}) +
         ldif_person("carol", "carol@example.org", "TRUE", {"first text", "second text"}) +
         ldif_person("team1", "team@example.org", "TRUE", {"team one"}) +
         ldif_person("team2", "team@example.org", "TRUE", {}) +
         ldif_person("team3", "team@example.org", "TRUE", {"team three"}) +
         ldif_person("dave", "dave@example.org", "TRUE", {}) +
         ldif_person("erin", "erin@example.org", "TRUE", {"$subject|$first|$phone|$recepient"},
                     "givenName: Erin $sender\n") +
         ldif_person("odd", "odd(x)@example.org", "TRUE", {"odd one"}) +
         ldif_person("slash", "back\\slash@example.org", "TRUE", {"backslash one"}) +
         ldif_person("star", "*@example.org", "TRUE", {"star one"});
}

// A running directory with the entries above, a session bound to it, and a
// message from box@host with the subject "Lunch?".
class LookupTest : public testing::Test {
 protected:
  void SetUp() override {
    configure_for(server_);
    g_config.protocol = 3;
    mail_.sender = "box@host";
    mail_.subject = "Lunch?";
    session_ = directory_connect();
  }
  void TearDown() override { session_.reset(); }

  // The texts for receiver of mail_ through the session.
  StringList lookup(const std::string& receiver) {
    return directory_lookup(*session_, receiver, mail_);
  }

  SlapdServer server_{SlapdOptions().entries(test_directory())};
  TempDir files_;
  MailState mail_;
  std::optional<DirectorySession> session_;
};

TEST_F(LookupTest, ComposesTheReplyOfOneEntry) {
  LogCapture capture;
  EXPECT_EQ(lookup("alice@example.org"),
            StringList{"To: box@host\nSubject: Re: Lunch?\n\nalice@example.org is away.\n"});
  // Without a subject the placeholder goes away as for an empty one.
  mail_.subject.reset();
  EXPECT_EQ(lookup("alice@example.org"),
            StringList{"To: box@host\nSubject: Re: \n\nalice@example.org is away.\n"});
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LookupTest, FramesEveryReplyWithHeaderAndFooter) {
  struct Case {
    const char* name;
    OptionalText header_file;  // contents; absent: not configured
    OptionalText footer_file;
    bool unreadable = false;  // configured, but the files are missing
    std::string reply;
  };
  const std::string body = "To: box@host\nSubject: Re: Lunch?\n\nalice@example.org is away.\n";
  const Case cases[] = {
      {"no files configured", std::nullopt, std::nullopt, false, body},
      // Joined with nothing between: the text continues the header's last line.
      {"both files", "From: $recepient\nX-Note: ", "-- \nReplying to $sender about $subject\n",
       false,
       "From: alice@example.org\nX-Note: " + body + "-- \nReplying to box@host about Lunch?\n"},
      {"footer only", std::nullopt, "bye", false, body + "bye"},
      {"unreadable files", std::nullopt, std::nullopt, true, body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session_.reset();  // forget the texts of the case before
    session_ = directory_connect();
    g_config.forceheader.reset();
    g_config.forcefooter.reset();
    if (c.header_file) g_config.forceheader = files_.write("header", *c.header_file);
    if (c.footer_file) g_config.forcefooter = files_.write("footer", *c.footer_file);
    if (c.unreadable) {
      g_config.forceheader = files_.file("missing-header");
      g_config.forcefooter = files_.file("missing-footer");
    }
    LogCapture capture;
    EXPECT_EQ(lookup("alice@example.org"), StringList{c.reply});
    const std::vector<LogRecord> expected_log =
        c.unreadable ? std::vector<LogRecord>{{LOG_INFO, "WARN/IO " + *g_config.forceheader},
                                              {LOG_INFO, "WARN/IO " + *g_config.forcefooter}}
                     : std::vector<LogRecord>{};
    EXPECT_EQ(capture.records(), expected_log);
  }
}

TEST_F(LookupTest, ReadsHeaderAndFooterOnlyOnceAndOnlyAfterAMatch) {
  g_config.forceheader = files_.write("header", "H:$recepient|");
  g_config.forcefooter = files_.write("footer", "|F");
  LogCapture capture;
  EXPECT_TRUE(lookup("nobody@example.org").empty());
  EXPECT_FALSE(session_->reply_frame());
  EXPECT_EQ(lookup("carol@example.org"), StringList{"H:carol@example.org|first text|F"});
  // Later receivers use the texts read for the first one.
  files_.write("header", "changed");
  ASSERT_EQ(unlink(g_config.forcefooter->c_str()), 0);
  EXPECT_EQ(lookup("team@example.org"),
            (StringList{"H:team@example.org|team one|F", "H:team@example.org|team three|F"}));
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(LookupTest, UsesTheFirstValueOfEntriesThatHaveOne) {
  g_config.loglevel = 3;
  LogCapture capture;
  // Entry order is the search result's; team2 has no reply text.
  EXPECT_EQ(lookup("team@example.org"), (StringList{"team one", "team three"}));
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
  // Found, but without a reply text: no texts, yet no "No match" either,
  // and the header and footer are loaded.
  EXPECT_TRUE(lookup("dave@example.org").empty());
  EXPECT_TRUE(capture.records().empty());
  ASSERT_TRUE(session_->reply_frame());
  EXPECT_EQ(session_->reply_frame()->header, "");
  EXPECT_EQ(session_->reply_frame()->footer, "");
}

TEST_F(LookupTest, FillsMapFieldsAfterSubjectSenderAndReceiver) {
  g_config.map_field_placeholders = {"$first", "$phone"};
  g_config.map_field_attributes = {"givenName", "telephoneNumber", g_config.result};
  mail_.subject = "about $sender";
  const size_t mark = server_.log_mark();
  // The subject brings "$sender", which the sender step then fills; the
  // givenName value brings one that no later step fills. The entry has no
  // telephoneNumber.
  EXPECT_EQ(lookup("erin@example.org"),
            StringList{"about box@host|Erin $sender||erin@example.org"});
  // Only the mapped attributes and the reply attribute are asked for.
  EXPECT_NE(server_.log_since(mark).find(" SRCH attr=givenName telephoneNumber vacationInfo\n"),
            std::string::npos);
}

TEST_F(LookupTest, NoMatchGivesNoTexts) {
  g_config.forceheader = files_.file("missing");
  for (const int loglevel : {2, 3}) {
    g_config.loglevel = loglevel;
    LogCapture capture;
    EXPECT_TRUE(lookup("nobody@example.org").empty());
    EXPECT_TRUE(lookup("bob@example.org").empty());  // not active
    EXPECT_TRUE(lookup("evil\n@example.org").empty());
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
  // The header file is never touched without a match.
  EXPECT_FALSE(session_->reply_frame());
}

TEST_F(LookupTest, FailedSearchGivesNoTexts) {
  struct Case {
    const char* name;
    std::string base;
    std::string queryfilter;
  };
  const Case cases[] = {
      {"base that does not exist", "dc=nowhere,dc=org", g_config.queryfilter},
      {"filter that does not parse", g_config.base, "(mail=$recepient"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_config.base = c.base;
    g_config.queryfilter = c.queryfilter;
    for (const int loglevel : {0, 1}) {
      g_config.loglevel = loglevel;
      LogCapture capture;
      EXPECT_TRUE(lookup("alice@example.org").empty());
      const std::vector<LogRecord> expected =
          loglevel == 0 ? std::vector<LogRecord>{}
                        : std::vector<LogRecord>{{LOG_WARNING, "WARN/LDAP Wrong query base?"}};
      EXPECT_EQ(capture.records(), expected);
    }
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
  mail_.sender = "*";
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
}

// A directory that stops answering during the search must not count as
// one without entries: the run ends (after the search time limit) so that
// the message is tried again later.
using LookupDeathTest = LookupTest;

TEST_F(LookupDeathTest, SilentServerEndsTheRun) {
  g_config.loglevel = 1;
  LogCapture capture;
  server_.stop();
  EXPECT_EXIT(lookup("alice@example.org"), testing::ExitedWithCode(1),
              "^3\\|CRIT/LDAP Timed out\norvelt: CRIT/LDAP Timed out\n$");  // after 10 s
  server_.cont();
  // The child's search went out on this session's connection: start afresh.
  session_.reset();
  session_ = directory_connect();
  EXPECT_EQ(lookup("carol@example.org"), StringList{"first text"});
}

}  // namespace
