// The whole program at work: the built binary answers messages against a
// real directory, with real block files and a recording MTA.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/program_test.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "support/to_utf8.h"

namespace {

const std::string kAwayText =
    "To: $sender\nSubject: Re: $subject\n\nHello $sender, $recepient is away.\n";
const std::string kGruss =
    "Gr\xC3\xBC\xC3\x9F"
    "e von $recepient\n";
// "I am on holiday today." in Japanese, long enough to need room.
const std::string kJapanese =
    "\xE4\xBB\x8A\xE6\x97\xA5\xE3\x81\xAF\xE4\xBC\x91\xE3\x81\xBF\xE3\x81\xA7\xE3\x81\x99\xE3\x80"
    "\x82 ok\n";
const std::string kOddBytes = "100% sure: %s %n %d %%\t\x01\x7f end\n";
const std::string kBigText(300 * 1024, 'x');

std::string test_directory() {
  return ldif_people_unit() + ldif_person("local", "local.user@site", "TRUE", {kAwayText}) +
         ldif_person("off", "off@site", "FALSE", {"not away"}) +
         ldif_person("two1", "two@site", "TRUE", {"first of two\n"}) +
         ldif_person("two2", "two@site", "TRUE", {"second of two\n"}) +
         ldif_person("r1", "r1@site", "TRUE", {"r1 is away\n"}) +
         ldif_person("r2", "r2@site", "TRUE", {"r2 is away\n"}) +
         ldif_person("big", "big@site", "TRUE", {kBigText}) +
         ldif_person("gruss", "gruss@site", "TRUE", {kGruss}) +
         ldif_person("jp", "jp@site", "TRUE", {kJapanese + kJapanese + kJapanese}) +
         ldif_person("odd", "odd@site", "TRUE", {kOddBytes});
}

std::string message(const std::string& to, const std::string& extra_headers = "") {
  return "From: Some Name <Box@Host>\nTo: " + to + "\nSubject: Lunch on Friday?\n" + extra_headers +
         "\nAre you free?\n";
}

std::string iso2022jp_to_utf8(const std::string& in) {
  const Utf8Conversion back = convert_to_utf8(in, "ISO-2022-JP");
  if (back.error != 0) return std::string("(conversion failed: ") + strerror(back.error) + ")";
  return back.text;
}

class ReplyTest : public ProgramTest {
 protected:
  ReplyTest() : ProgramTest(test_directory()) {}
};

TEST_F(ReplyTest, TypicalMessageIsAnsweredOnceThenSuppressed) {
  RecordingMta mta;
  ProgramResult r = run(message("Local.User@Site"));
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_status, 0);
  std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{RecordingMta::program(), "-f", "<>", "box@host"}));
  EXPECT_EQ(
      calls[0].stdin_text,
      "To: box@host\nSubject: Re: Lunch on Friday?\n\nHello box@host, local.user@site is away.\n");
  EXPECT_EQ(calls[0].sigpipe, "default");
  EXPECT_TRUE(gdbm_holds(block_file("local.user@site"), "box@host"));
  EXPECT_TRUE(logged(r.log, LOG_INFO, "INFO/MAIL sent mail: local.user@site -> box@host"));
  EXPECT_EQ(r.log_events.back(), "close");

  r = run(message("Local.User@Site"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_TRUE(logged(r.log, LOG_DEBUG, "DEBUG/MAIL blocked: box@host & local.user@site"));
}

TEST_F(ReplyTest, ReceiversAndTheirTexts) {
  struct Case {
    std::string to;
    std::string extra_config;
    std::vector<std::string> expected_texts;
  } cases[] = {
      {"r1@site, R2@site", "", {"r1 is away\n", "r2 is away\n"}},
      {"two@site", "", {"first of two\n"}},
      {"two@site", "blockexpire 0\n", {"first of two\n", "second of two\n"}},
      {"nobody@site", "", {}},
      {"off@site", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to + " / " + c.extra_config);
    RecordingMta mta;
    ProgramResult r = run(message(c.to), c.extra_config);
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> texts;
    for (const MtaCall& call : mta.calls()) texts.push_back(call.stdin_text);
    // The two-entry receiver may list its entries in either order.
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, c.expected_texts);
  }
  EXPECT_TRUE(gdbm_holds(block_file("r1@site"), "box@host"));
  EXPECT_TRUE(gdbm_holds(block_file("r2@site"), "box@host"));
  // With blockexpire 0 nothing is recorded; the first run's record stays.
  EXPECT_TRUE(gdbm_holds(block_file("two@site"), "box@host"));
}

TEST_F(ReplyTest, DeclinedMessagesNeverReachTheDirectory) {
  write_gdbm_keys(dir_.file("bad.db"), {"Precedence: bulk"});
  struct Case {
    const char* name;
    std::string text;
    std::string extra_config;
  } cases[] = {
      {"bad header", message("local.user@site", "Precedence: bulk\n"),
       "badheaders " + dir_.file("bad.db") + "\n"},
      {"sender header", message("local.user@site", "Sender: list@host\n"), ""},
      {"too many receivers", message("a@site, b@site, local.user@site"), "maxreceivers 1\n"},
      {"no receiver", message("<>"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const size_t mark = server_.log_mark();
    ProgramResult r = run(c.text, c.extra_config);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(server_.binds_since(mark).empty());
    EXPECT_FALSE(r.log.empty());  // the mail code, at loglevel 3
  }
}

TEST_F(ReplyTest, FailingMtaLeavesNoRecordAndTheLoopGoesOn) {
  const std::string failed = "WARN/MAIL MTA failed (exit status 1): reply to box@host not recorded";
  {
    RecordingMta mta(MtaBehaviour{1, true});
    ProgramResult r = run(message("r1@site, r2@site"), "failstatus 75\n");
    EXPECT_EQ(r.exit_status, 75);
    EXPECT_EQ(r.err, "orvelt: " + failed + "\norvelt: " + failed + "\n");
    EXPECT_EQ(mta.calls().size(), 2u);
    EXPECT_FALSE(gdbm_holds(block_file("r1@site"), "box@host"));
    EXPECT_FALSE(gdbm_holds(block_file("r2@site"), "box@host"));
    EXPECT_TRUE(logged(r.log, LOG_ERR, failed));
    EXPECT_FALSE(logged_start(r.log, LOG_INFO, "INFO/MAIL sent mail"));
  }
  // The reply that did not go out is not blocked: the next message is answered.
  RecordingMta mta;
  ProgramResult r = run(message("r1@site"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_TRUE(gdbm_holds(block_file("r1@site"), "box@host"));
}

TEST_F(ReplyTest, MtaThatReadsNothingDoesNotKillTheRun) {
  RecordingMta mta(MtaBehaviour{0, false});
  ProgramResult r = run(message("big@site, r1@site"));
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(logged(r.log, LOG_WARNING, "WARN/MAIL MTA did not take the whole reply"));
  EXPECT_EQ(mta.calls().size(), 2u);
  EXPECT_TRUE(gdbm_holds(block_file("big@site"), "box@host"));
  EXPECT_TRUE(gdbm_holds(block_file("r1@site"), "box@host"));
}

TEST_F(ReplyTest, MissingMtaProgram) {
  ProgramResult r =
      run(message("r1@site"), "mta /nonexistent/sendmail -oi $sender\nfailstatus 75\n");
  EXPECT_EQ(r.exit_status, 75);
  EXPECT_EQ(r.err, "orvelt: WARN/MAIL MTA failed (not run): reply to box@host not recorded\n");
  EXPECT_TRUE(
      logged(r.log, LOG_ERR, "CRIT/MAIL execv(3) returned: /nonexistent/sendmail -oi box@host"));
  EXPECT_TRUE(
      logged(r.log, LOG_ERR, "WARN/MAIL MTA failed (not run): reply to box@host not recorded"));
  EXPECT_FALSE(logged(r.log, LOG_WARNING, "WARN/MAIL MTA did not take the whole reply"));
  EXPECT_FALSE(gdbm_holds(block_file("r1@site"), "box@host"));
}

// An mta line that has the MTA read the recipients from the reply's header
// needs the header file: without it the start of every run warns, once, at
// any loglevel, whether the message is answered or not.
TEST_F(ReplyTest, MtaReadingTheHeaderWithoutHeaderFileIsWarnedAbout) {
  const std::string header = dir_.write("header", "To: $sender\nSubject: away\n\n");
  const std::string mta = "mta " + RecordingMta::program();
  struct Case {
    const char* name;
    std::string config;
    bool warned;
  } cases[] = {
      {"-t, no header file", mta + " -oi -f <> -t\n", true},
      {"-t alone, loglevel 0", mta + " -t\nloglevel 0\n", true},
      {"-t and a header file", mta + " -oi -f <> -t\nforceheader " + header + "\n", false},
      {"the sender as argument", mta + " -oi -f <> -- $sender\n", false},
      {"a word that only starts with -t", mta + " -ti -f <> $sender\n", false},
  };
  const std::string warning =
      "WARN/CFG the mta line reads recipients from the header (-t) but no forceheader is set";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& to : {std::string("r1@site"), std::string("nobody@site")}) {
      RecordingMta mta;
      const ProgramResult r = run(message(to), c.config + "blockexpire 0\n");
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(std::count(r.log.begin(), r.log.end(), LogRecord{LOG_WARNING, warning}),
                c.warned ? 1 : 0);
      EXPECT_EQ(r.err, "");
    }
  }
}

TEST_F(ReplyTest, CharsetConversion) {
  {
    RecordingMta mta;
    ProgramResult r = run(message("gruss@site"), "charset ISO-8859-1\n");
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text,
              "Gr\xFC\xDF"
              "e von gruss@site\n");
  }
  {
    RecordingMta mta;
    ProgramResult r =
        run(message("gruss@site, r1@site"), "charset NO-SUCH-CHARSET\nblockexpire 0\n");
    ASSERT_EQ(mta.calls().size(), 2u);
    EXPECT_EQ(mta.calls()[0].stdin_text,
              "Gr\xC3\xBC\xC3\x9F"
              "e von gruss@site\n");
    // A charset iconv cannot open is refused with the configuration: the
    // replies go out as composed, and no conversion is tried.
    EXPECT_TRUE(logged(r.log, LOG_WARNING,
                       "WARN/CFG charset: \"NO-SUCH-CHARSET\" is not a charset iconv converts "
                       "UTF-8 into"));
    EXPECT_FALSE(logged_start(r.log, LOG_WARNING, "WARN/MAIL charset conversion failed"));
  }
  {
    RecordingMta mta;
    ProgramResult r = run(message("jp@site"), "charset ISO-2022-JP\n");
    ASSERT_EQ(mta.calls().size(), 1u);
    // Converted back, the reply is the whole text: nothing was cut.
    EXPECT_EQ(iso2022jp_to_utf8(mta.calls()[0].stdin_text), kJapanese + kJapanese + kJapanese);
  }
}

// The MTA gets a fixed PATH and only the variables mta_env names: none of
// the rest of the environment the program was started with (a service
// manager's, an administrator's shell's). env(1) as the MTA (its -u taking
// the place of the MTA's usual arguments) writes what it got onto the
// program's standard output, which it shares.
TEST_F(ReplyTest, MtaGetsOnlyPathAndTheNamedVariables) {
  const struct Case {
    const char* name;
    std::string mta_env;
    std::vector<std::string> expected;
  } cases[] = {
      {"none named", "", {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}},
      {"two named, one of them unset",
       "mta_env KEEP_ME NOT_SET_ANYWHERE\n",
       {"KEEP_ME=kept value", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"}},
      {"PATH named", "mta_env PATH KEEP_ME\n", {"KEEP_ME=kept value", "PATH=/opt/test/bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRun run;
    run.args = {"-c", config("mta /usr/bin/env -u ORVELT_NOT_SET\nmta_env\n" + c.mta_env +
                             "blockexpire 0\n")};
    run.stdin_text = message("r1@site");
    run.env = {"KEEP_ME=kept value", "ORVELT_TEST_SECRET=not for the MTA", "PATH=/opt/test/bin"};
    const ProgramResult r = run_program(run);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t start = 0; start < r.out.size();) {
      const size_t end = r.out.find('\n', start);
      lines.push_back(r.out.substr(start, end - start));
      start = end == std::string::npos ? r.out.size() : end + 1;
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, c.expected);
  }
}

TEST_F(ReplyTest, TextReachesTheMtaByteForByte) {
  RecordingMta mta;
  ProgramResult r = run(message("odd@site"));
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, kOddBytes);
}

}  // namespace
