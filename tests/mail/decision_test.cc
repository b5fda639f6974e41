// decide_reply on hand-made messages and entries: who is answered with
// personal set, and why not, without a directory.
#include "mail/decision.h"

#include <gtest/gtest.h>

#include "config/config.h"

namespace {

constexpr const char* kReceiver = "jane@site";

struct Case {
  const char* name;
  bool personal;
  const char* delimiter;
  StringList addressing;  // the To, Cc, Bcc and Resent-* values
  std::string sender;
  StringList aliases;  // the entry's addresses
  bool answer;
  std::string debug_line;
};

const std::string kNotAddressed = "DEBUG/MAIL not addressed personally: jane@site";

const Case kCases[] = {
    {"without personal, any message", false, "", {"friends@lists"}, "box@host", {}, true, ""},
    {"without personal, own sender", false, "", {"jane@site"}, "jane@site", {}, true, ""},
    {"To names the receiver", true, "", {"jane@site"}, "box@host", {}, true, ""},
    {"Cc with names and another case",
     true,
     "",
     {"Some One <one@host>, \"Jane\" <JANE@Site>"},
     "box@host",
     {},
     true,
     ""},
    {"a later header names the receiver",
     true,
     "",
     {"friends@lists", "other@host", "Jane <jane@site>"},
     "box@host",
     {},
     true,
     ""},
    {"only a list is named", true, "", {"friends@lists"}, "box@host", {}, false, kNotAddressed},
    {"nobody is named (a blind copy)", true, "", {}, "box@host", {}, false, kNotAddressed},
    {"names that only look alike",
     true,
     "",
     {"xjane@site, jane@site.evil, jane@sit, \"jane@site\" <list@lists>"},
     "box@host",
     {},
     false,
     kNotAddressed},
    {"an extension cut on the named side",
     true,
     "+",
     {"Jane <Jane+News@site>"},
     "box@host",
     {},
     true,
     ""},
    {"an extension without a delimiter is another address",
     true,
     "",
     {"jane+news@site"},
     "box@host",
     {},
     false,
     kNotAddressed},
    {"an alias is named",
     true,
     "",
     {"jane.doe@site"},
     "box@host",
     {"jane@site", "Jane.Doe@Site"},
     true,
     ""},
    {"an alias of another attribute with its extension",
     true,
     "-+",
     {"doe-home@other"},
     "box@host",
     {"jane@site", "Doe+x@Other"},
     true,
     ""},
    {"aliases, none of them named",
     true,
     "",
     {"friends@lists"},
     "box@host",
     {"jane@site", "jane.doe@site"},
     false,
     kNotAddressed},
    {"the sender is the receiver",
     true,
     "",
     {"jane@site"},
     "jane@site",
     {},
     false,
     "DEBUG/MAIL own address: jane@site"},
    {"the sender is the receiver with an extension",
     true,
     "+",
     {"jane@site"},
     "jane+test@site",
     {},
     false,
     "DEBUG/MAIL own address: jane+test@site"},
    {"the sender is an alias, in another case",
     true,
     "",
     {"jane@site"},
     "jane.doe@site",
     {"jane@site", "JANE.DOE@SITE"},
     false,
     "DEBUG/MAIL own address: jane.doe@site"},
    {"the sender's extension is kept without a delimiter",
     true,
     "",
     {"jane@site"},
     "jane+test@site",
     {},
     true,
     ""},
    {"the own-address rule is weighed first",
     true,
     "",
     {"friends@lists"},
     "jane@site",
     {},
     false,
     "DEBUG/MAIL own address: jane@site"},
};

TEST(DecideReply, PersonalTable) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    config_set_defaults();
    g_config.personal = c.personal;
    g_config.recipient_delimiter = c.delimiter;
    MailState mail;
    mail.sender = c.sender;
    mail.receivers = {kReceiver};
    mail.addressing_values = c.addressing;
    DirectoryEntry entry;
    entry.dn = "uid=jane,ou=people,dc=example,dc=org";
    entry.addresses = c.aliases;
    const ReplyDecision decision = decide_reply(mail, kReceiver, entry);
    EXPECT_EQ(decision.answer, c.answer);
    EXPECT_EQ(decision.debug_line, c.debug_line);
  }
}

// A message declined as a whole is never answered, and its reason was
// logged by intake: no second line.
TEST(DecideReply, DeclinedMessageWithOrWithoutPersonal) {
  for (const bool personal : {false, true}) {
    config_set_defaults();
    g_config.personal = personal;
    MailState mail;
    mail.sender = "box@host";
    mail.receivers = {kReceiver};
    mail.addressing_values = {kReceiver};
    mail.mail_code = CODE_BAD_HEADER;
    const ReplyDecision decision = decide_reply(mail, kReceiver, DirectoryEntry{});
    EXPECT_FALSE(decision.answer);
    EXPECT_EQ(decision.debug_line, "");
  }
}

}  // namespace
