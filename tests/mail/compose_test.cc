#include "mail/compose.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <ctime>

#include "config/config.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// An entry with text and the fields and dates given.
DirectoryEntry entry_with(OptionalText text,
                          std::vector<std::pair<std::string, std::string>> fields = {},
                          std::vector<std::pair<std::string, std::string>> dates = {}) {
  DirectoryEntry entry;
  entry.dn = "uid=away,ou=people,dc=example,dc=org";
  entry.text = std::move(text);
  entry.fields = std::move(fields);
  entry.dates = std::move(dates);
  return entry;
}

MailState mail_from(OptionalText sender, OptionalText subject = "Lunch?",
                    OptionalText message_id = "<m1@host>") {
  MailState mail;
  mail.sender = std::move(sender);
  mail.subject = std::move(subject);
  mail.message_id = std::move(message_id);
  return mail;
}

class ComposeTest : public testing::Test {
 protected:
  void SetUp() override {
    config_set_defaults();
    // Dates in a fixed zone, whatever the machine's.
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

struct ComposeCase {
  const char* name;
  ReplyFrame frame;
  OptionalText text;
  MailState mail;
  OptionalText reply;
};

TEST_F(ComposeTest, FramesTheTextAndFillsEveryPlaceholder) {
  g_config.map_field_placeholders = {"$first", "$secret"};
  g_config.map_date_placeholders = {"$until", "$odd"};
  const MailState mail = mail_from("box@host");
  const ComposeCase cases[] = {
      {"frame joined as it stands",
       {"From: $recepient\nX-Note: ", "-- \nto $sender about $subject\n"},
       "away\n",
       mail,
       "From: me@site\nX-Note: away\n-- \nto box@host about Lunch?\n"},
      {"every kind of placeholder, any case",
       {"In-Reply-To: $MessageID\n\n", ""},
       "$SUBJECT|$first|$secret|$until|$odd|$Recepient",
       mail,
       "In-Reply-To: <m1@host>\n\nLunch?|Erin|Doe|2031-01-02|someday|me@site"},
      {"absent subject fills in as empty", {}, "Re: $subject.", mail_from("box@host", {}), "Re: ."},
      // What the sender writes is never filled in again: the directory's
      // fields stay where the internal text put them, not in the reply.
      {"a placeholder in the subject stays as written",
       {"Subject: [$subject]\nTo: $sender\n\n", ""},
       "body",
       mail_from("<$recepient>", "$secret $first"),
       "Subject: [$secret $first]\nTo: <$recepient>\n\nbody"},
      {"a placeholder in a field value stays as written", {}, "$first", mail, "Erin"},
      {"no text", {"H\n\n", "F"}, std::nullopt, mail, std::nullopt},
  };
  const DirectoryEntry base = entry_with("", {{"$first", "Erin"}, {"$secret", "Doe"}},
                                         {{"$until", "20310102030405Z"}, {"$odd", "someday"}});
  for (const ComposeCase& c : cases) {
    SCOPED_TRACE(c.name);
    DirectoryEntry entry = base;
    entry.text = c.text;
    EXPECT_EQ(compose_reply(c.frame, entry, c.mail, "me@site"), c.reply);
  }
}

TEST_F(ComposeTest, LongestPlaceholderWinsAndEarlierOnesWinTies) {
  g_config.map_field_placeholders = {"$subjectline", "$sender"};
  const DirectoryEntry entry =
      entry_with("$subjectline|$subject|$sender", {{"$subjectline", "long"}, {"$sender", "field"}});
  EXPECT_EQ(compose_reply({}, entry, mail_from("box@host"), "me@site"), "long|Lunch?|box@host");
}

TEST_F(ComposeTest, DatesInLocalTimeWithTheDateFormat) {
  g_config.dateformat = "%d.%m.%Y %H:%M";
  const std::pair<std::string, std::string> cases[] = {
      {"20310102030405Z", "02.01.2031 03:04"},
      {"203101020304+0200", "02.01.2031 01:04"},
      {"not a date", "not a date"},
      {"", ""},
  };
  for (const auto& [stored, shown] : cases) {
    const DirectoryEntry entry = entry_with("back $until", {}, {{"$until", stored}});
    EXPECT_EQ(compose_reply({}, entry, mail_from("box@host"), "me@site"), "back " + shown)
        << stored;
  }
}

TEST_F(ComposeTest, WithoutMessageIdTheFrameLinesThatCarryItGo) {
  const ReplyFrame frame{"To: $sender\nIn-Reply-To: $messageid\nReferences: $MESSAGEID\n\n",
                         "-- \n$messageid\n"};
  const DirectoryEntry entry = entry_with("Re $messageid\n");
  EXPECT_EQ(compose_reply(frame, entry, mail_from("box@host"), "me@site"),
            "To: box@host\nIn-Reply-To: <m1@host>\nReferences: <m1@host>\n\nRe <m1@host>\n"
            "-- \n<m1@host>\n");
  // Only the header file's lines go; elsewhere the placeholder empties.
  EXPECT_EQ(compose_reply(frame, entry, mail_from("box@host", "s", std::nullopt), "me@site"),
            "To: box@host\n\nRe \n-- \n\n");
}

// The reply's References continue the message's chain; without anything to
// thread by the header file's lines that would carry it go, and only those.
TEST_F(ComposeTest, ReferencesChainEndsWithTheMessageId) {
  const ReplyFrame frame{"In-Reply-To: $messageid\nReferences: $references\nTo: $sender\n\n", ""};
  const DirectoryEntry entry = entry_with("[$References]\n");
  struct Case {
    const char* name;
    OptionalText references;
    OptionalText message_id;
    std::string reply;
  } cases[] = {
      {"both", "<a@x> <b@x>", "<m1@host>",
       "In-Reply-To: <m1@host>\nReferences: <a@x> <b@x> <m1@host>\nTo: box@host\n\n"
       "[<a@x> <b@x> <m1@host>]\n"},
      {"only a Message-ID", std::nullopt, "<m1@host>",
       "In-Reply-To: <m1@host>\nReferences: <m1@host>\nTo: box@host\n\n[<m1@host>]\n"},
      {"only References", "<a@x>", std::nullopt, "References: <a@x>\nTo: box@host\n\n[<a@x>]\n"},
      {"neither", std::nullopt, std::nullopt, "To: box@host\n\n[]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailState mail = mail_from("box@host", "s", c.message_id);
    mail.references = c.references;
    EXPECT_EQ(compose_reply(frame, entry, mail, "me@site"), c.reply);
  }
  // A renamed placeholder is the one that is filled and whose lines go.
  g_config.map_references = "%refs";
  const ReplyFrame renamed{"References: %refs\nX-Old: $references\n\n", ""};
  EXPECT_EQ(
      compose_reply(renamed, entry_with("b"), mail_from("box@host", "s", std::nullopt), "me@site"),
      "X-Old: $references\n\nb");
}

// $subject stays as received, for header lines; $subjecttext is decoded
// for the body, and the shorter name never fills the longer one.
TEST_F(ComposeTest, SubjectTextIsTheDecodedSubject) {
  const ReplyFrame frame{"Subject: Re: $subject\n\n", ""};
  const DirectoryEntry entry = entry_with("About \"$subjecttext\" ($SubjectText).\n");
  struct Case {
    const char* name;
    OptionalText subject;
    std::string reply;
  } cases[] = {
      {"Q and B words joined across the fold",
       " =?utf-8?q?Gr=C3=BC=C3=9Fe?=\t=?UTF-8?B?IGF1cyBLw7ZsbiE=?=",
       "Subject: Re:  =?utf-8?q?Gr=C3=BC=C3=9Fe?=\t=?UTF-8?B?IGF1cyBLw7ZsbiE=?=\n\n"
       "About \"Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln!\" (Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln!).\n"},
      {"plain subject", "Lunch?", "Subject: Re: Lunch?\n\nAbout \"Lunch?\" (Lunch?).\n"},
      {"Latin-1 word, CR of a CR LF line", "=?iso-8859-1?q?caf=E9?=\r",
       "Subject: Re: =?iso-8859-1?q?caf=E9?=\n\nAbout \"caf\xC3\xA9\" (caf\xC3\xA9).\n"},
      {"no subject", std::nullopt, "Subject: Re: \n\nAbout \"\" ().\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compose_reply(frame, entry, mail_from("box@host", c.subject), "me@site"), c.reply);
  }
}

TEST_F(ComposeTest, LineBreaksFromTheMessageCannotStartAHeaderLine) {
  const ReplyFrame frame{"Subject: Auto: $subject\nTo: $sender\n", ""};
  struct Case {
    const char* name;
    OptionalText subject;
    std::string text;
    std::string reply;
  } cases[] = {
      {"bare CR", "hi\rBcc: victim@evil", "\nSaw: $subject",
       "Subject: Auto: hi Bcc: victim@evil\nTo: box@host\n\nSaw: hi\rBcc: victim@evil"},
      {"CRLF line end of the message", "hi\r", "\n$subject|",
       "Subject: Auto: hi\nTo: box@host\n\nhi\r|"},
      {"LF and NUL", std::string("a\nBcc: x\0y", 10), "\n",
       "Subject: Auto: a Bcc: x y\nTo: box@host\n\n"},
      // With no empty line anywhere, the whole text is header.
      {"no empty line", "a\rb", "X: $subject", "Subject: Auto: a b\nTo: box@host\nX: a b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compose_reply(frame, entry_with(c.text), mail_from("box@host", c.subject), "me@site"),
              c.reply);
  }
}

TEST_F(ComposeTest, InternalSendersGetTheInternalText) {
  struct Case {
    const char* name;
    OptionalText internal_result;
    StringList internal_domains;
    OptionalText internal_text;
    OptionalText sender;
    OptionalText reply;
  } cases[] = {
      {"internal sender", "info", {"corp.example"}, "inside", "a@Corp.Example", "inside"},
      {"the last @ decides", "info", {"corp.example"}, "inside", "a@corp.example@evil", "outside"},
      {"outside sender", "info", {"corp.example"}, "inside", "a@other.example", "outside"},
      {"a subdomain is not the domain",
       "info",
       {"corp.example"},
       "inside",
       "a@x.corp.example",
       "outside"},
      {"entry without an internal text",
       "info",
       {"corp.example"},
       std::nullopt,
       "a@corp.example",
       "outside"},
      {"no internal domains", "info", {}, "inside", "a@corp.example", "outside"},
      {"no internal_result", std::nullopt, {"corp.example"}, "inside", "a@corp.example", "outside"},
      {"no sender", "info", {"corp.example"}, "inside", std::nullopt, "outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_config.internal_result = c.internal_result;
    g_config.internal_domains = c.internal_domains;
    DirectoryEntry entry = entry_with("outside");
    entry.internal_text = c.internal_text;
    EXPECT_EQ(compose_reply({}, entry, mail_from(c.sender), "me@site"), c.reply);
  }
  // An internal text alone answers internal senders only.
  g_config.internal_result = "info";
  g_config.internal_domains = {"corp.example"};
  DirectoryEntry only_internal = entry_with(std::nullopt);
  only_internal.internal_text = "inside";
  EXPECT_EQ(compose_reply({}, only_internal, mail_from("a@corp.example"), "me@site"), "inside");
  EXPECT_EQ(compose_reply({}, only_internal, mail_from("a@else.example"), "me@site"), std::nullopt);
}

TEST_F(ComposeTest, FrameFilesAreReadWhole) {
  TempDir dir;
  LogCapture capture;
  struct Case {
    const char* name;
    OptionalText header;  // contents; absent: not configured
    OptionalText footer;
  } cases[] = {
      {"none configured", std::nullopt, std::nullopt},
      {"both", "From: $recepient\n", "-- \nbye\n"},
      {"footer only", std::nullopt, "bye"},
      {"empty files", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_config.forceheader.reset();
    g_config.forcefooter.reset();
    if (c.header) g_config.forceheader = dir.write("header", *c.header);
    if (c.footer) g_config.forcefooter = dir.write("footer", *c.footer);
    const Result<ReplyFrame> frame = reply_frame_load();
    ASSERT_TRUE(frame.ok()) << frame.failure().reason;
    EXPECT_EQ(frame->header, c.header.value_or(""));
    EXPECT_EQ(frame->footer, c.footer.value_or(""));
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(ComposeTest, AFrameFileThatCannotBeReadIsAFailure) {
  TempDir dir;
  LogCapture capture;
  const std::string missing = dir.file("missing");
  const std::string good = dir.write("good", "text");
  const std::pair<OptionalText, OptionalText> cases[] = {
      {missing, good},
      {good, missing},
      {std::nullopt, missing},
      {dir.path(), std::nullopt},
  };
  for (const auto& [header, footer] : cases) {
    g_config.forceheader = header;
    g_config.forcefooter = footer;
    const std::string bad = header == good || !header ? *footer : *header;
    const Result<ReplyFrame> frame = reply_frame_load();
    ASSERT_FALSE(frame.ok()) << bad;
    EXPECT_EQ(frame.failure().priority, LOG_ERR);
    EXPECT_EQ(
        frame.failure().reason,
        "CRIT/IO " + bad + (bad == missing ? ": No such file or directory" : ": Is a directory"));
  }
  EXPECT_TRUE(capture.records().empty());
}

}  // namespace
