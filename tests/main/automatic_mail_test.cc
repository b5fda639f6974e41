// The rfc3834 directive through the built binary: with "rfc3834 yes",
// automatic, list and bulk mail and mail from robots is declined before the
// directory is contacted; without it, or with "rfc3834 no", the very same
// messages are answered as they always were.
#include <gtest/gtest.h>
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

}  // namespace
