// How the built program treats each way a directory search can end, with a
// stand-in server that answers the search with the result code it is told
// to: a result it cannot trust to be whole answers nobody and says so at
// every loglevel, at priority err (asking again cannot help, so the run
// ends well and only the log tells of the lost reply); a wrong base
// answers nobody as it always did; any other failure ends the run with
// failstatus, so that the message is tried again instead of its replies
// being lost without a word.
#include <gtest/gtest.h>
#include <ldap.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "directory/lookup.h"
#include "support/fake_ldap_server.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr int kFailStatus = 75;
constexpr const char* kReceiver = "away@site";
constexpr const char* kOtherReceiver = "other@site";
constexpr const char* kMessage =
    "From: box@host\nTo: away@site\nSubject: Lunch?\n\nAre you free?\n";

// The filter the default queryfilter makes for receiver.
std::string filter_for(const std::string& receiver) {
  return "(&(mail=" + receiver + ")(vacationActive=TRUE))";
}

class DirectoryCodesTest : public testing::Test {
 protected:
  // orvelt against server for the receivers given with -a, at loglevel,
  // with a fresh block directory (blockdir_): no run is refused a reply
  // because an earlier one answered.
  ProgramResult run(const FakeLdapServer& server, int loglevel,
                    const std::vector<std::string>& receivers, const std::string& extra = "") {
    blockdir_ = dir_.file("block" + std::to_string(++runs_));
    EXPECT_EQ(mkdir(blockdir_.c_str(), 0700), 0);
    const TestConfig config = TestConfig()
                                  .set("server", "127.0.0.1")
                                  .set("port", std::to_string(server.port()))
                                  .set("base", "dc=example,dc=org")
                                  .set("protocol", "3")
                                  .set("blockfiles", blockdir_)
                                  .set("mta", RecordingMta::program() + " -f <> $sender")
                                  .set("mta_env", RecordingMta::env_names())
                                  .set("failstatus", std::to_string(kFailStatus))
                                  .set("loglevel", std::to_string(loglevel))
                                  .add(extra);
    ProgramRun run;
    run.args = {"-c", config.write(dir_)};
    for (const std::string& receiver : receivers) run.args.insert(run.args.end(), {"-a", receiver});
    run.stdin_text = kMessage;
    return run_program(run);
  }

  TempDir dir_;
  int runs_ = 0;
  std::string blockdir_;  // the last run's
};

bool exists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

// The run's LDAP warnings and failures, as "<priority> <text>".
std::vector<std::string> ldap_lines(const ProgramResult& r) {
  std::vector<std::string> lines;
  for (const LogRecord& record : r.log) {
    if (record.text.starts_with("WARN/LDAP") || record.text.starts_with("CRIT/LDAP")) {
      lines.push_back(std::to_string(record.priority) + " " + record.text);
    }
  }
  return lines;
}

std::string warning(const std::string& text) { return std::to_string(LOG_WARNING) + " " + text; }
std::string error(const std::string& text) { return std::to_string(LOG_ERR) + " " + text; }

TEST_F(DirectoryCodesTest, EachResultCodeEndsAsItsClassSays) {
  enum Class { kAnswered, kNoMatch, kWrongBase, kIncomplete, kFailed };
  struct Case {
    const char* name;
    FakeSearchReply reply;
    Class outcome;
    std::string text;  // the library's text for the code, where logged
    std::string extra_config = "";
  };
  const Case cases[] = {
      {"success", {LDAP_SUCCESS, 1, 0}, kAnswered, ""},
      {"success without entries", {LDAP_SUCCESS, 0, 0}, kNoMatch, ""},
      {"size limit after entries",
       {LDAP_SIZELIMIT_EXCEEDED, 2, 0},
       kIncomplete,
       "Size limit exceeded"},
      {"size limit at once", {LDAP_SIZELIMIT_EXCEEDED, 0, 0}, kIncomplete, "Size limit exceeded"},
      // Entries beyond those read ahead are used as they come: the first
      // settles the receiver, the rest of the search is abandoned unseen.
      {"size limit after more entries than are read ahead",
       {LDAP_SIZELIMIT_EXCEEDED, static_cast<int>(kEntriesReadAhead) + 1, 0},
       kAnswered,
       ""},
      {"referral", {LDAP_REFERRAL, 0, 0}, kIncomplete, "Referral"},
      {"referral of LDAPv2",
       {LDAP_PARTIAL_RESULTS, 0, 0},
       kIncomplete,
       "Partial results and referral received"},
      {"entry and a reference", {LDAP_SUCCESS, 1, 1}, kIncomplete, "Referral"},
      {"reference after a size limit",
       {LDAP_SIZELIMIT_EXCEEDED, 1, 1},
       kIncomplete,
       "Size limit exceeded"},
      {"no such base", {LDAP_NO_SUCH_OBJECT, 0, 0}, kWrongBase, ""},
      {"base not a DN", {LDAP_INVALID_DN_SYNTAX, 0, 0}, kWrongBase, ""},
      {"time limit", {LDAP_TIMELIMIT_EXCEEDED, 1, 0}, kFailed, "Time limit exceeded"},
      {"administrative limit",
       {LDAP_ADMINLIMIT_EXCEEDED, 0, 0},
       kFailed,
       "Administrative limit exceeded"},
      {"busy", {LDAP_BUSY, 0, 0}, kFailed, "Server is busy"},
      {"unavailable", {LDAP_UNAVAILABLE, 0, 0}, kFailed, "Server is unavailable"},
      {"unwilling", {LDAP_UNWILLING_TO_PERFORM, 0, 0}, kFailed, "Server is unwilling to perform"},
      {"other", {LDAP_OTHER, 0, 0}, kFailed, "Other (e.g., implementation specific) error"},
      {"insufficient access", {LDAP_INSUFFICIENT_ACCESS, 0, 0}, kFailed, "Insufficient access"},
      {"protocol error", {LDAP_PROTOCOL_ERROR, 0, 0}, kFailed, "Protocol error"},
      {"filter the library cannot parse",
       {LDAP_SUCCESS, 1, 0},
       kFailed,
       "Bad search filter",
       "queryfilter (mail=$recepient\n"},
  };
  for (const Case& c : cases) {
    const FakeLdapServer server({c.reply});
    for (const int loglevel : {0, 3}) {
      SCOPED_TRACE(std::string(c.name) + ", loglevel " + std::to_string(loglevel));
      RecordingMta mta;
      const ProgramResult r = run(server, loglevel, {kReceiver}, c.extra_config);
      ASSERT_TRUE(r.exited) << "signal " << r.signal;
      EXPECT_EQ(r.exit_status, c.outcome == kFailed ? kFailStatus : 0) << r.err;
      EXPECT_EQ(mta.calls().size(), c.outcome == kAnswered ? 1u : 0u);
      std::vector<std::string> expected;
      if (c.outcome == kWrongBase && loglevel > 0) {
        expected = {warning("WARN/LDAP Wrong query base?")};
      } else if (c.outcome == kIncomplete) {
        expected = {error("WARN/LDAP " + c.text + " for " + filter_for(kReceiver))};
      } else if (c.outcome == kFailed) {
        expected = {error("CRIT/LDAP " + c.text)};
      }
      EXPECT_EQ(ldap_lines(r), expected);
      EXPECT_EQ(r.err, c.outcome == kFailed ? "orvelt: CRIT/LDAP " + c.text + "\n" : "");
      EXPECT_EQ(logged(r.log, LOG_DEBUG, "DEBUG/LDAP No match: " + filter_for(kReceiver)),
                c.outcome == kNoMatch && loglevel > 2);
    }
  }
}

// An incomplete result costs only its own receiver the reply: the run goes
// on with the other receivers, answers them and ends well.
TEST_F(DirectoryCodesTest, IncompleteResultLeavesTheOtherReceivers) {
  const FakeSearchReply kAnswer{LDAP_SUCCESS, 1, 0};
  const FakeSearchReply kTooMany{LDAP_SIZELIMIT_EXCEEDED, 1, 0};
  const struct {
    FakeSearchReply first, second;
    const char* answered;
    const char* warned;
  } cases[] = {{kTooMany, kAnswer, kOtherReceiver, kReceiver},
               {kAnswer, kTooMany, kReceiver, kOtherReceiver}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answered);
    const FakeLdapServer server({c.first, c.second});
    RecordingMta mta;
    const ProgramResult r = run(server, 0, {kReceiver, kOtherReceiver});
    ASSERT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(ldap_lines(r), std::vector<std::string>{error("WARN/LDAP Size limit exceeded for " +
                                                            filter_for(c.warned))});
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, "Text of entry 1.\n");
    EXPECT_TRUE(exists(blockdir_ + "/" + c.answered));
    EXPECT_FALSE(exists(blockdir_ + "/" + c.warned));
  }
}

// The filter in the warning is the one sent, made safe for the log like the
// other lines that quote it.
TEST_F(DirectoryCodesTest, WarningQuotesTheFilterLogSafe) {
  const FakeLdapServer server({{LDAP_REFERRAL, 0, 0}});
  RecordingMta mta;
  const ProgramResult r =
      run(server, 0, {kReceiver}, "queryfilter (&(mail=$recepient)(cn=a\tb))\n");
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(ldap_lines(r),
            std::vector<std::string>{error("WARN/LDAP Referral for (&(mail=away@site)(cn=a?b))")});
}

}  // namespace
