// What a site set up from the shipped samples meets first, through the built
// binary, the shipped header sample and a real directory: receivers with an
// address extension (recipient_delimiter), folded subjects, threading
// headers (map_messageid) and Outlook's X-Auto-Response-Suppress.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/shared_directory_test.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr const char* kHeaderSample = ORVELT_SOURCE_DIR "/etc/header.sample";

// The shipped header sample as it comes out for a reply from jane to
// box@host; the threading lines only when the message has a Message-ID.
std::string sample_header(const std::string& subject, const std::string& message_id) {
  std::string header = "From: jane@example.org\nTo: box@host\nSubject: Auto: " + subject +
                       "\nAuto-Submitted: auto-replied\n";
  if (!message_id.empty()) {
    header += "In-Reply-To: " + message_id + "\nReferences: " + message_id + "\n";
  }
  return header +
         "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
         "Content-Transfer-Encoding: 8bit\n\n";
}

class FirstInstall : public SharedDirectoryTest {
 protected:
  static void SetUpTestSuite() {
    start_directory(ldif_people_unit() +
                    ldif_person("jane", "jane@example.org", "TRUE", {"$recepient is away.\n"}));
  }

  // The shipped header sample; extra lines come last.
  std::string config(const std::string& extra) const {
    return base_config().set("forceheader", kHeaderSample).add(extra).write(dir_);
  }

  ProgramResult run(const std::string& extra, const std::string& message,
                    const std::vector<std::string>& args = {}) const {
    ProgramRun program;
    program.args = {"-c", config(extra)};
    program.args.insert(program.args.end(), args.begin(), args.end());
    program.stdin_text = message;
    return run_program(program);
  }
};

// The receiver loses its extension before the search and $recepient; the
// sender keeps its own.
TEST_F(FirstInstall, AddressExtensionsAnsweredAsTheBareAddress) {
  const struct Case {
    const char* name;
    std::string extra;
    std::string message;
    std::vector<std::string> args;
    bool answered;
    std::string replied;  // the reply's receiver argument (the sender)
  } cases[] = {
      {"header receiver, directive +",
       "recipient_delimiter +\n",
       "From: box@host\nTo: Jane+News@example.org\n",
       {},
       true,
       "box@host"},
      {"header receiver, no directive",
       "",
       "From: box@host\nTo: jane+news@example.org\n",
       {},
       false,
       ""},
      {"forced receiver, directive +",
       "recipient_delimiter +\n",
       "From: box@host\n",
       {"-a", "jane+news@example.org"},
       true,
       "box@host"},
      {"forced receiver, no directive",
       "",
       "From: box@host\n",
       {"-a", "jane+news@example.org"},
       false,
       ""},
      {"second delimiter of two",
       "recipient_delimiter +-\n",
       "From: box@host\nTo: jane-lists@example.org\n",
       {},
       true,
       "box@host"},
      {"delimiter not listed",
       "recipient_delimiter -\n",
       "From: box@host\nTo: jane+news@example.org\n",
       {},
       false,
       ""},
      {"both spellings in one message, one reply",
       "recipient_delimiter +\n",
       "From: box@host\nTo: jane+news@example.org\nCc: Jane <jane@example.org>\n",
       {},
       true,
       "box@host"},
      {"both spellings forced, one reply",
       "recipient_delimiter +\n",
       "From: box@host\n",
       {"-a", "jane@example.org", "-a", "jane+x@example.org"},
       true,
       "box@host"},
      {"the sender is never cut",
       "recipient_delimiter +\n",
       "From: box+tag@host\nTo: jane+news@example.org\n",
       {},
       true,
       "box+tag@host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const ProgramResult r = run(c.extra, c.message + "Subject: hi\n\nbody\n", c.args);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<MtaCall> calls = mta.calls();
    if (!c.answered) {
      EXPECT_TRUE(calls.empty());
      EXPECT_TRUE(
          logged(r.log, LOG_DEBUG,
                 "DEBUG/LDAP No match: (&(mail=jane+news@example.org)(vacationActive=TRUE))"));
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{RecordingMta::program(), c.replied}));
    // $recepient, in the header sample's From line and in the text.
    EXPECT_NE(calls[0].stdin_text.find("From: jane@example.org\n"), std::string::npos);
    EXPECT_NE(calls[0].stdin_text.find("\njane@example.org is away.\n"), std::string::npos);
  }
}

// The blacklist and the block file see the bare address: a reply for one
// extension blocks the next for another, and a blacklisted bare address
// stops every extension of it.
TEST_F(FirstInstall, AddressExtensionsShareBlockFileAndBlacklist) {
  {
    RecordingMta mta;
    const std::string extra = "recipient_delimiter +\nblockexpire 48\n";
    EXPECT_EQ(run(extra, "From: box@host\nTo: jane+a@example.org\n\n").exit_status, 0);
    const ProgramResult second = run(extra, "From: box@host\nTo: jane+b@example.org\n\n");
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(read_gdbm(blockdir_ + "/jane@example.org").count(std::string("box@host\0", 9)), 1u);
    EXPECT_NE(access((blockdir_ + "/jane+a@example.org").c_str(), F_OK), 0);
    EXPECT_TRUE(logged(second.log, LOG_DEBUG, "DEBUG/MAIL blocked: box@host & jane@example.org"));
  }
  {
    RecordingMta mta;
    write_gdbm_keys(dir_.file("blacklist.db"), {"jane@example.org"});
    const ProgramResult r =
        run("recipient_delimiter +\nblacklist " + dir_.file("blacklist.db") + "\n",
            "From: box@host\nTo: jane+a@example.org\n\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(logged_start(r.log, LOG_DEBUG, "DEBUG/MAIL Code: 129 "));
  }
}

// Folded headers come back with the blank of their continuation line: words
// stay apart, and encoded-words stay separate words that readers decode.
// Threading headers carry the Message-ID, unfolded and trimmed, and are left
// out of the reply when there is none.
TEST_F(FirstInstall, FoldedSubjectsAndThreadingHeaders) {
  const struct Case {
    const char* name;
    std::string headers;
    std::string subject;     // as the reply's Subject line shows it
    std::string message_id;  // as the reply's threading lines show it; empty: left out
  } cases[] = {
      {"folded subject", "Subject: Back for the\n northern office\nMessage-ID: <1@host>\n",
       "Back for the northern office", "<1@host>"},
      {"folded with a tab", "Subject: Back for the\n\tnorthern office\nMessage-ID: <2@host>\n",
       "Back for the\tnorthern office", "<2@host>"},
      {"folded encoded-words",
       "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\n =?UTF-8?Q?aus_K=C3=B6ln?=\nMessage-ID: <3@host>\n",
       "=?UTF-8?Q?Gr=C3=BC=C3=9Fe?= =?UTF-8?Q?aus_K=C3=B6ln?=", "<3@host>"},
      {"folded Message-ID with blanks around it", "Subject: x\nMessage-ID:\n   <4@host> \t\n", "x",
       "<4@host>"},
      {"no Message-ID", "Subject: x\n", "x", ""},
      {"blank Message-ID", "Subject: x\nMessage-ID:  \n", "x", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const ProgramResult r =
        run("", "From: box@host\nTo: jane@example.org\n" + c.headers + "\nbody\n");
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text,
              sample_header(c.subject, c.message_id) + "jane@example.org is away.\n");
    EXPECT_TRUE(
        logged_start(r.log, LOG_DEBUG,
                     "DEBUG/MAIL Code: 0 MessageID: " +
                         (c.message_id.empty() ? std::string("No ID found") : c.message_id)));
  }
}

// A CR-LF message folds the same way: the CR of the break goes with it,
// and the one of the line end stays out of the reply's Subject line.
TEST_F(FirstInstall, FoldedSubjectOfCrLfMessage) {
  RecordingMta mta;
  const ProgramResult r =
      run("",
          "From: box@host\r\nTo: jane@example.org\r\nSubject: Back for the\r\n northern\r\n"
          "Message-ID: <5@host>\r\n\r\nbody\r\n");
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].stdin_text.find("Subject: Auto: Back for the northern\n"), std::string::npos);
  EXPECT_NE(calls[0].stdin_text.find("In-Reply-To: <5@host>\nReferences: <5@host>\n"),
            std::string::npos);
}

// The placeholder is a directive of its own: another spelling takes the
// place of $messageid, in the header file and in the text.
TEST_F(FirstInstall, MapMessageidNamesThePlaceholder) {
  const std::string header = dir_.write("header", "To: $sender\nX-Thread: %ID%\n\n");
  RecordingMta mta;
  const ProgramResult r = run("forceheader " + header + "\nmap_messageid %ID%\n",
                              "From: box@host\nTo: jane@example.org\nMessage-ID: <6@host>\n\n");
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text,
            "To: box@host\nX-Thread: <6@host>\n\njane@example.org is away.\n");
}

// Outlook asks for no out-of-office reply with X-Auto-Response-Suppress: OOF
// or All, among other items. Declined under rfc3834 yes, answered without.
TEST_F(FirstInstall, AutoResponseSuppress) {
  const struct Case {
    std::string value;
    bool suppresses;
  } cases[] = {
      {"OOF", true},          {"All", true},
      {"oof", true},          {"DR, RN, NRN, OOF, AutoReply", true},
      {"DR,\n ALL", true},    {" all ,DR", true},
      {"DR, RN, NRN", false}, {"AutoReply", false},
      {"OOFX, NoAll", false},
  };
  for (const Case& c : cases) {
    for (const std::string directive : {"", "rfc3834 yes\n"}) {
      SCOPED_TRACE(c.value + " / " + directive);
      const bool declined = c.suppresses && !directive.empty();
      RecordingMta mta;
      const ProgramResult r = run(
          directive, "From: box@host\nTo: jane@example.org\nX-Auto-Response-Suppress: " + c.value +
                         "\nMessage-ID: <7@host>\n\nbody\n");
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(mta.calls().size(), declined ? 0u : 1u);
      EXPECT_EQ(logged(r.log, LOG_INFO,
                       "INFO/MAIL not answering automatic mail: X-Auto-Response-Suppress"),
                declined);
      EXPECT_TRUE(logged(
          r.log, LOG_DEBUG,
          "DEBUG/MAIL Code: " + std::to_string(declined ? 0x200 : 0) + " MessageID: <7@host>"));
    }
  }
}

}  // namespace
