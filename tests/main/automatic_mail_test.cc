// The rfc3834 directive through the built binary: with "rfc3834 yes",
// automatic, list and bulk mail and mail from robots is declined before the
// directory is contacted; without it, or with "rfc3834 no", the very same
// messages are answered as they always were.
#include <gtest/gtest.h>
#include <regex.h>
#include <sys/stat.h>
#include <syslog.h>

#include <memory>

#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/shared_directory_test.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr int kAutomaticMail = 0x200;

std::string message(const std::string& id, const std::string& extra_headers,
                    const std::string& from = "From: Some Name <Box@Host>\n") {
  return from + "To: Local.User@Site\nSubject: Weekly digest\nMessage-ID: <" + id + ">\n" +
         extra_headers + "\nThe body.\n";
}

class AutomaticMailProgram : public SharedDirectoryTest {
 protected:
  static void SetUpTestSuite() {
    start_directory(ldif_people_unit() + ldif_person("local", "local.user@site", "TRUE",
                                                     {"To: $sender\n\n$recepient is away.\n"}));
  }

  std::string config(const std::string& extra) const {
    return base_config().add(extra).write(dir_);
  }
};

TEST_F(AutomaticMailProgram, DeclinedOnlyWithTheDirective) {
  const struct Case {
    const char* id;
    std::string text;
    std::vector<std::string> args;
    const char* reason;   // why rfc3834 yes declines it; null: it does not
    int other_code;       // the mail code without the directive
    std::string replied;  // whom the reply goes to when it is answered
  } cases[] = {
      {"auto-replied@t",
       message("auto-replied@t", "Auto-Submitted: auto-replied\n"),
       {},
       "Auto-Submitted",
       0,
       "box@host"},
      {"folded@t",
       message("folded@t", "auto-SUBMITTED:\n\tAuto-Generated (daily report)\n"),
       {},
       "Auto-Submitted",
       0,
       "box@host"},
      {"crlf@t",
       "From: box@host\r\nTo: local.user@site\r\nMessage-ID: <crlf@t>\r\n"
       "Auto-Submitted: auto-notified\r\n\r\nbody\r\n",
       {},
       "Auto-Submitted",
       0,
       "box@host"},
      {"manual@t",
       message("manual@t", "Auto-Submitted: no (manual)\n"),
       {},
       nullptr,
       0,
       "box@host"},
      {"bulk@t", message("bulk@t", "PRECEDENCE: Bulk\n"), {}, "Precedence", 0, "box@host"},
      {"list@t",
       message("list@t", "List-ID: Friends\n <friends.list.example>\n"),
       {},
       "List-Id",
       0,
       "box@host"},
      {"daemon@t",
       message("daemon@t", "", "From: Mail Delivery System <MAILER-DAEMON@host>\n"),
       {},
       "sender",
       0,
       "mailer-daemon@host"},
      {"reply-to@t",
       message("reply-to@t", "Reply-To: friends-request@host\n"),
       {},
       "sender",
       8,
       "friends-request@host"},
      {"postmaster@t",
       message("postmaster@t", "", "From: postmaster@host\n"),
       {},
       nullptr,
       0,
       "postmaster@host"},
      {"forced-robot@t",
       message("forced-robot@t", ""),
       {"-s", "Owner-Friends@host"},
       "sender",
       2,
       "owner-friends@host"},
      {"forced-person@t",
       message("forced-person@t", "", "From: majordomo@host\n"),
       {"-s", "person@host"},
       nullptr,
       2,
       "person@host"},
      {"noreply@t",
       message("noreply@t", "", "From: Alerts <NoReply-Alerts@bank>\n"),
       {},
       "sender",
       0,
       "noreply-alerts@bank"},
      {"do-not-reply@t",
       message("do-not-reply@t", "Reply-To: do-not-reply@host\n"),
       {},
       "sender",
       8,
       "do-not-reply@host"},
      {"noreply-inside@t",
       message("noreply-inside@t", "", "From: jane.noreply@host\n"),
       {},
       nullptr,
       0,
       "jane.noreply@host"},
      {"report@t",
       message("report@t",
               "MIME-Version: 1.0\nContent-Type: multipart/report;\n"
               "\treport-type=delivery-status; boundary=\"b\"\n"),
       {},
       "Content-Type",
       0,
       "box@host"},
      {"mixed@t",
       message("mixed@t", "Content-Type: multipart/mixed; boundary=\"b\"\n"),
       {},
       nullptr,
       0,
       "box@host"},
      {"null-sender@t", message("null-sender@t", ""), {"-s", ""}, "sender", 0, "box@host"},
      {"null-sender-brackets@t",
       message("null-sender-brackets@t", ""),
       {"-s", "<>"},
       "sender",
       0,
       "box@host"},
      {"null-sender-last@t",
       message("null-sender-last@t", ""),
       {"-s", "person@host", "-s", "<>"},
       "sender",
       0,
       "box@host"},
  };
  for (const Case& c : cases) {
    for (const std::string directive : {"", "rfc3834 no\n", "rfc3834 yes\n"}) {
      SCOPED_TRACE(std::string(c.id) + " / " + directive);
      const bool declined = c.reason != nullptr && directive == "rfc3834 yes\n";
      const int code = c.other_code | (declined ? kAutomaticMail : 0);
      RecordingMta mta;
      const size_t mark = server_->log_mark();
      ProgramRun run;
      run.args = {"-c", config(directive)};
      run.args.insert(run.args.end(), c.args.begin(), c.args.end());
      run.stdin_text = c.text;
      const ProgramResult r = run_program(run);

      EXPECT_TRUE(r.exited);
      EXPECT_EQ(r.exit_status, 0);
      // A CR-LF message's ID ends in a CR, logged as '?': compare the start.
      EXPECT_TRUE(
          logged_start(r.log, LOG_DEBUG,
                       "DEBUG/MAIL Code: " + std::to_string(code) + " MessageID: <" + c.id + ">"));
      EXPECT_EQ(logged(r.log, LOG_INFO,
                       std::string("INFO/MAIL not answering automatic mail: ") +
                           (c.reason != nullptr ? c.reason : "")),
                declined);
      const std::vector<MtaCall> calls = mta.calls();
      if (declined) {
        EXPECT_TRUE(calls.empty());
        EXPECT_TRUE(server_->binds_since(mark).empty());
      } else {
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].argv, (std::vector<std::string>{RecordingMta::program(), c.replied}));
      }
    }
  }
}

// The site's own noreply_header lines decline a message whatever rfc3834
// says: the header's name in any case, its unfolded value without leading
// blanks, matched by the pattern with case ignored.
TEST_F(AutomaticMailProgram, NoreplyHeaderDeclinesMatchingMessages) {
  const std::string rules =
      "noreply_header X-Spam-Flag ^yes\nnoreply_header X-Spam ^yes\n"
      "noreply_header X-Spam-Status ^yes\n";
  const struct Case {
    const char* id;
    std::string headers;
    const char* reason;  // null: answered
  } cases[] = {
      {"flag@t", "X-Spam-Flag: YES\n", "X-Spam-Flag"},
      {"name-case@t", "x-spam: \t  Yes\n", "X-Spam"},
      {"folded@t", "X-Spam-Status:\n Yes, score=9.1 required=5.0\n", "X-Spam-Status"},
      {"second@t", "X-Spam-Flag: NO\nX-Spam: yes\n", "X-Spam"},
      {"no@t", "X-Spam-Status: No, score=1.2 required=5.0\n", nullptr},
      {"not-anchored@t", "X-Spam-Flag: maybe yes\n", nullptr},
      {"other-name@t", "X-Spam-Level: yes\nX-Spam-Flagged: yes\n", nullptr},
      {"none@t", "", nullptr},
  };
  for (const Case& c : cases) {
    for (const std::string directive : {"", "rfc3834 no\n", "rfc3834 yes\n"}) {
      SCOPED_TRACE(std::string(c.id) + " / " + directive);
      RecordingMta mta;
      const size_t mark = server_->log_mark();
      ProgramRun run;
      run.args = {"-c", config(rules + directive)};
      run.stdin_text = message(c.id, c.headers);
      const ProgramResult r = run_program(run);
      EXPECT_EQ(r.exit_status, 0) << r.err;
      const int code = c.reason != nullptr ? kAutomaticMail : 0;
      EXPECT_TRUE(
          logged(r.log, LOG_DEBUG,
                 "DEBUG/MAIL Code: " + std::to_string(code) + " MessageID: <" + c.id + ">"));
      if (c.reason != nullptr) {
        EXPECT_TRUE(logged(r.log, LOG_INFO,
                           std::string("INFO/MAIL not answering automatic mail: ") + c.reason));
        EXPECT_TRUE(mta.calls().empty());
        EXPECT_TRUE(server_->binds_since(mark).empty());
      } else {
        EXPECT_FALSE(logged_start(r.log, LOG_INFO, "INFO/MAIL not answering"));
        EXPECT_EQ(mta.calls().size(), 1u);
      }
    }
  }
  // A CR LF message: the CR that ends the value is no part of it.
  RecordingMta mta;
  ProgramRun run;
  run.args = {"-c", config("noreply_header X-Spam yes$\n")};
  run.stdin_text = "From: box@host\r\nTo: local.user@site\r\nX-Spam: Yes\r\n\r\nbody\r\n";
  const ProgramResult r = run_program(run);
  EXPECT_TRUE(logged(r.log, LOG_INFO, "INFO/MAIL not answering automatic mail: X-Spam"));
  EXPECT_TRUE(mta.calls().empty());
}

// A pattern is compiled only for a message that holds its header: one that
// does not compile stops such a run with failstatus, before the directory
// is asked, and the MTA keeps the message until the setting is fixed.
TEST_F(AutomaticMailProgram, NoreplyHeaderPatternThatDoesNotCompileStopsTheRun) {
  const std::string bad = "(yes";
  regex_t probe;
  const int error = regcomp(&probe, bad.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  ASSERT_NE(error, 0);
  char text[256];
  regerror(error, &probe, text, sizeof text);
  const std::string reason = std::string("CRIT/CFG noreply_header X-Spam: ") + text;
  const std::string cfg =
      config("noreply_header X-Spam-Flag ^yes\nnoreply_header X-Spam " + bad + "\nfailstatus 75\n");
  const struct Case {
    const char* id;
    std::string headers;
    bool stops;
  } cases[] = {
      {"holds@t", "X-Spam-Flag: no\nx-spam: yes\n", true},
      {"holds-after-a-match@t", "X-Spam-Flag: yes\nX-Spam: no\n", false},
      {"without@t", "X-Spam-Flag: no\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    RecordingMta mta;
    const size_t mark = server_->log_mark();
    ProgramRun run;
    run.args = {"-c", cfg};
    run.stdin_text = message(c.id, c.headers);
    const ProgramResult r = run_program(run);
    EXPECT_EQ(logged(r.log, LOG_ERR, reason), c.stops);
    if (c.stops) {
      EXPECT_EQ(r.exit_status, 75);
      EXPECT_EQ(r.err, "orvelt: " + reason + "\n");
      EXPECT_TRUE(mta.calls().empty());
      EXPECT_TRUE(server_->binds_since(mark).empty());
    } else {
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_TRUE(r.err.empty());
    }
  }
}

}  // namespace
