// How the built program makes the text of a reply, where a hostile message
// or a broken installation could make it go wrong: the frame files, text
// that the sender controls, and the memory that many entries cost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/program_test.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/sanitized.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr int kFailStatus = 75;
const std::string kAwayText = "To: $sender\nSubject: Re: $subject\n\n$recepient is away.\n";

std::string test_directory() {
  return ldif_people_unit() + ldif_person("away", "away@site", "TRUE", {kAwayText}) +
         ldif_person("thread", "thread@site", "TRUE",
                     {"In-Reply-To: $messageid\nSubject: Re: $subject\n\nBack soon.\n"}) +
         ldif_person("topic", "topic@site", "TRUE", {"About: $subjecttext\n"}) +
         ldif_person("two1", "two@site", "TRUE", {"first of two\n"}) +
         ldif_person("two2", "two@site", "TRUE", {"second of two\n"}) +
         ldif_person("cafe", "cafe@site", "TRUE", {"Caf\xC3\xA9 \xE2\x82\xAC closed\n"});
}

std::string message(const std::string& to, const std::string& headers = "") {
  return "From: Some Name <box@host>\nTo: " + to + "\nSubject: Lunch?\n" + headers +
         "\nAre you free?\n";
}

class ReplyTextTest : public ProgramTest {
 protected:
  ReplyTextTest() : ProgramTest(test_directory()) {}
};

// Without its header file a reply would go out without the lines that keep
// mail loops away: the run stops instead, before anything is claimed or
// sent, so that the MTA tries the message again.
TEST_F(ReplyTextTest, FrameFileThatCannotBeReadStopsTheRun) {
  const std::string header = dir_.write("header", "Auto-Submitted: auto-replied\n");
  const std::string footer = dir_.write("footer", "-- \nbye\n");
  const std::string missing = dir_.file("missing");
  const std::string no_such = ": No such file or directory";
  struct Case {
    const char* name;
    std::string frame_config;
    std::string reason;
  } cases[] = {
      {"missing header", "forceheader " + missing + "\nforcefooter " + footer + "\n",
       "CRIT/IO " + missing + no_such},
      {"missing footer", "forceheader " + header + "\nforcefooter " + missing + "\n",
       "CRIT/IO " + missing + no_such},
      {"header that is a directory", "forceheader " + dir_.path() + "\n",
       "CRIT/IO " + dir_.path() + ": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    // The first receiver has no entry; the second has one, whose turn
    // reads the frame.
    const ProgramResult r =
        run(message("nobody@site, away@site"),
            c.frame_config + "failstatus " + std::to_string(kFailStatus) + "\n");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_TRUE(logged(r.log, LOG_ERR, c.reason)) << r.err;
    EXPECT_EQ(r.err, "orvelt: " + c.reason + "\n");
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_FALSE(gdbm_holds(block_file("away@site"), "box@host"));
  }
  // A message that no entry matches needs no frame: the files are not read.
  RecordingMta mta;
  const ProgramResult r = run(message("nobody@site"), "forceheader " + missing + "\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(logged_start(r.log, LOG_ERR, "CRIT/IO"));
  EXPECT_TRUE(r.err.empty()) << r.err;
  // With readable files the reply is framed.
  const ProgramResult framed =
      run(message("away@site"), "forceheader " + header + "\nforcefooter " + footer + "\n");
  EXPECT_EQ(framed.exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text,
            "Auto-Submitted: auto-replied\nTo: box@host\nSubject: Re: Lunch?\n\n"
            "away@site is away.\n-- \nbye\n");
}

// A frame file that is not a regular file is never read: a FIFO would hold
// the run for ever and a device (/dev/zero) fill its memory; /dev/null
// would frame nothing. Nor is one larger than 64 KiB. Each stops the run as
// an unreadable one does.
TEST_F(ReplyTextTest, FrameFileThatIsNoRegularFileOrTooLargeStopsTheRun) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string at_limit = dir_.write("at-limit", std::string(65535, 'x') + "\n");
  const std::string too_large = dir_.write("too-large", std::string(65536, 'x') + "\n");
  struct Case {
    const char* name;
    std::string frame_config;
    std::string reason;
  } cases[] = {
      {"header that is a FIFO", "forceheader " + fifo + "\n",
       "CRIT/IO " + fifo + ": not a regular file"},
      {"footer that is a FIFO", "forcefooter " + fifo + "\n",
       "CRIT/IO " + fifo + ": not a regular file"},
      {"footer that is a device", "forcefooter /dev/null\n",
       "CRIT/IO /dev/null: not a regular file"},
      {"header over 64 KiB", "forceheader " + too_large + "\n",
       "CRIT/IO " + too_large + ": larger than 65536 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    ProgramRun run;
    run.args = {"-c", config(c.frame_config + "failstatus " + std::to_string(kFailStatus) + "\n")};
    run.stdin_text = message("away@site");
    run.time_limit = 20;
    const ProgramResult r = run_program(run);
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_TRUE(logged(r.log, LOG_ERR, c.reason)) << r.err;
    EXPECT_EQ(r.err, "orvelt: " + c.reason + "\n");
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_FALSE(gdbm_holds(block_file("away@site"), "box@host"));
  }
  // 64 KiB exactly is a frame like any other.
  RecordingMta mta;
  const ProgramResult r = run(message("away@site"), "forceheader " + at_limit + "\n");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(
      mta.calls()[0].stdin_text.size(),
      65536 + std::string("To: box@host\nSubject: Re: Lunch?\n\naway@site is away.\n").size());
}

// A character the charset cannot hold becomes '?' and says so once per
// reply, unless the charset asks iconv to approximate (//TRANSLIT) or to
// drop it (//IGNORE).
TEST_F(ReplyTextTest, CharsetThatCannotHoldTheTextOrCannotBeOpened) {
  const std::string warning = "WARN/MAIL charset US-ASCII cannot hold every character";
  struct Sent {
    const char* charset;
    std::string reply;
    bool warned;
  } sent[] = {
      {"US-ASCII", "Caf? ? closed\n", true},
      {"us-ascii//IGNORE", "Caf  closed\n", false},
      {"US-ASCII//TRANSLIT", "Caf? EUR closed\n", false},  // é has none in the C locale
      {"ISO-8859-15", "Caf\xE9 \xA4 closed\n", false},
  };
  for (const Sent& c : sent) {
    SCOPED_TRACE(c.charset);
    RecordingMta mta;
    const ProgramResult r =
        run(message("cafe@site"), std::string("blockexpire 0\ncharset ") + c.charset + "\n");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text, c.reply);
    int warnings = 0;
    for (const LogRecord& record : r.log)
      warnings += record.text.find("cannot hold") != std::string::npos;
    EXPECT_EQ(warnings, c.warned ? 1 : 0);
    EXPECT_EQ(logged(r.log, LOG_WARNING, warning), c.warned);
  }

  // A charset iconv cannot open is refused with the configuration, so no
  // conversion into it is ever tried: the reply goes out as composed.
  RecordingMta mta;
  const ProgramResult r = run(message("cafe@site"), "charset NO-SUCH-CHARSET\n");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(logged(r.log, LOG_WARNING,
                     "WARN/CFG charset: \"NO-SUCH-CHARSET\" is not a charset iconv converts UTF-8 "
                     "into"));
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, "Caf\xC3\xA9 \xE2\x82\xAC closed\n");
}

// Whatever the sender writes goes into the reply as written: a placeholder
// in it is not filled in, so it can neither draw directory attributes meant
// for others into the reply nor redirect the reply.
TEST_F(ReplyTextTest, TextFromTheSenderIsNeverFilledInAsPlaceholders) {
  struct Case {
    const char* name;
    std::string to;
    std::string from;
    std::string headers;  // after From, To and Subject
    std::string reply;
    std::string mta_receiver;
  } cases[] = {
      {"subject naming a mapped attribute", "away@site", "box@host", "Subject: [$secret]\n",
       "To: box@host\nSubject: Re: [$secret]\n\naway@site is away.\n", "box@host"},
      {"Message-ID naming a mapped attribute", "thread@site", "box@host",
       "Message-ID: <$secret@x>\n", "In-Reply-To: <$secret@x>\nSubject: Re: Lunch?\n\nBack soon.\n",
       "box@host"},
      {"subject naming the receiver placeholder", "away@site", "box@host",
       "Subject: $recepient $subject\n",
       "To: box@host\nSubject: Re: $recepient $subject\n\naway@site is away.\n", "box@host"},
      {"sender naming the receiver placeholder", "away@site", "<$recepient@host>", "",
       "To: $recepient@host\nSubject: Re: Lunch?\n\naway@site is away.\n", "$recepient@host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    // The last Subject header counts.
    const std::string text = "From: " + c.from + "\nTo: " + c.to + "\nSubject: Lunch?\n" +
                             c.headers + "\nAre you free?\n";
    const ProgramResult r = run(text, "map_field $secret sn\nblockexpire 0\n");
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, c.reply);
    EXPECT_EQ(calls[0].argv.back(), c.mta_receiver);
  }
}

// A line break in the subject must not start a header line of its own in
// the reply: an MTA that takes a bare CR as a line end would read a Bcc.
TEST_F(ReplyTextTest, LineBreaksFromTheMessageStayInTheirHeaderLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string reply;
  } cases[] = {
      {"bare CR in the subject", message("away@site", "Subject: hi\rBcc: victim@evil\n"),
       "To: box@host\nSubject: Re: hi Bcc: victim@evil\n\naway@site is away.\n"},
      {"CRLF message",
       "From: box@host\r\nTo: away@site\r\nSubject: Lunch?\r\n\r\nAre you free?\r\n",
       "To: box@host\nSubject: Re: Lunch?\n\naway@site is away.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const ProgramResult r = run(c.text, "blockexpire 0\n");
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, c.reply);
  }
}

// Once the block store refuses a receiver's text, the receiver's other
// entries are not turned into text at all.
TEST_F(ReplyTextTest, ARefusedClaimEndsTheReceiversTexts) {
  RecordingMta mta;
  ProgramResult r = run(message("two@site"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  r = run(message("two@site"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  size_t blocked = 0;
  for (const LogRecord& record : r.log) {
    blocked += record.text == "DEBUG/MAIL blocked: box@host & two@site" ? 1 : 0;
  }
  EXPECT_EQ(blocked, 1u);
}

// The peak resident size, in KiB, of the built program answering text;
// /usr/bin/time measures it.
long peak_kib(const std::string& config, const std::string& text) {
  ProgramRun run;
  run.program = "/usr/bin/time";
  run.args = {"-f", "peak %M", ORVELT_BINARY, "-c", config};
  run.stdin_text = text;
  const ProgramResult r = run_program(run);
  const size_t at = r.err.rfind("peak ");
  return at == std::string::npos ? -1 : std::stol(r.err.substr(at + 5));
}

// A receiver's texts are made one at a time, when each is about to go:
// many large entries do not cost a text's size each on top of the search
// result.
TEST(ReplyTextMemory, ManyLargeEntriesAreNotAllTurnedIntoText) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer keeps freed memory: peaks say nothing here";
  if (access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/time";
  // As many as the test directory's database holds.
  constexpr int kEntries = 60;
  const std::string big(100 * 1024, 'x');
  std::string ldif = ldif_people_unit();
  for (int i = 0; i < kEntries; ++i) {
    ldif += ldif_person("many" + std::to_string(i), "many@site", "TRUE", {big + "$subject\n"});
  }
  ldif += ldif_person("small", "small@site", "TRUE", {"small\n"});
  const SlapdServer server(SlapdOptions().entries(ldif));
  TempDir dir;
  const std::string blockdir = dir.file("block");
  ASSERT_EQ(mkdir(blockdir.c_str(), 0700), 0);
  const std::string config = TestConfig(server, blockdir).write(dir);
  RecordingMta mta;
  const long small = peak_kib(config, message("small@site"));
  const long many = peak_kib(config, message("many@site"));
  ASSERT_GT(small, 0);
  ASSERT_GT(many, 0);
  EXPECT_EQ(mta.calls().size(), 2u);
  // The search result holds the 6 MB of texts once (about 6,300 KiB more
  // than the small reply); all texts made at once would hold them a second
  // time (about 12,200 KiB more).
  const long texts_kib = kEntries * 100L;
  EXPECT_LT(many - small, texts_kib * 3 / 2);
}

// A reply threads under the message it answers: References carries the
// message's chain and then its Message-ID, and the lines that would carry
// nothing are left out. $subject stays as it came for header lines, and
// $subjecttext shows the subject decoded, then in the configured charset.
TEST_F(ReplyTextTest, ReferencesAndTheDecodedSubject) {
  const std::string header = dir_.write(
      "header", "In-Reply-To: $messageid\nReferences: $references\nSubject: Re: $subject\n\n");
  const std::string frame = "forceheader " + header + "\nblockexpire 0\n";
  const std::string encoded =
      "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_?=\n =?iso-8859-1?B?S/Zsbg==?=\n";
  const std::string raw_subject = "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_?= =?iso-8859-1?B?S/Zsbg==?=";
  struct Case {
    const char* name;
    std::string headers;
    std::string extra_config;
    std::string reply;
  } cases[] = {
      {"References folded, then the Message-ID",
       "Subject: Lunch?\nReferences: <a@x>\n\t<b@x>\nMessage-ID: <m@x>\n", "",
       "In-Reply-To: <m@x>\nReferences: <a@x>\t<b@x> <m@x>\nSubject: Re: Lunch?\n\n"
       "About: Lunch?\n"},
      {"only a Message-ID", "Subject: Lunch?\nMessage-ID: <m@x>\n", "",
       "In-Reply-To: <m@x>\nReferences: <m@x>\nSubject: Re: Lunch?\n\nAbout: Lunch?\n"},
      {"References without a Message-ID", "Subject: Lunch?\nReferences: <a@x>\n", "",
       "References: <a@x>\nSubject: Re: Lunch?\n\nAbout: Lunch?\n"},
      {"nothing to thread by", "Subject: Lunch?\n", "", "Subject: Re: Lunch?\n\nAbout: Lunch?\n"},
      {"folded Q and B words", encoded + "Message-ID: <m@x>\n", "",
       "In-Reply-To: <m@x>\nReferences: <m@x>\nSubject: Re: " + raw_subject +
           "\n\nAbout: Gr\xC3\xBC\xC3\x9F"
           "e aus K\xC3\xB6ln\n"},
      {"decoded, then converted to the charset", encoded, "charset ISO-8859-1\n",
       "Subject: Re: " + raw_subject +
           "\n\nAbout: Gr\xFC\xDF"
           "e aus K\xF6ln\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const ProgramResult r =
        run("From: box@host\nTo: topic@site\n" + c.headers + "\nHello\n", frame + c.extra_config);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text, c.reply);
  }
}

}  // namespace
