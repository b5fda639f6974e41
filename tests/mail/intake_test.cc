#include "mail/intake.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "config/config.h"
#include "config/default_config.h"
#include "mail/decision.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "util/log.h"
#include "util/unique_fd.h"

namespace {

using namespace std::string_literals;

// Runs mail_intake with message as its input. Also checks that intake read
// its input to the end.
MailState intake(const std::string& message, const StringList& forced_receivers = {},
                 const OptionalText& forced_sender = std::nullopt,
                 bool null_sender_forced = false) {
  TempDir dir;
  const std::string path = dir.write("message", message);
  const UniqueFd input(open(path.c_str(), O_RDONLY));
  if (!input.valid()) throw std::runtime_error("message");
  MailState mail = mail_intake(input.get(), forced_receivers, forced_sender, null_sender_forced);
  EXPECT_EQ(lseek(input.get(), 0, SEEK_CUR), static_cast<off_t>(message.size()))
      << "input not read to its end";
  return mail;
}

// n header lines "X-Filler-i: i".
std::string filler(int n) {
  std::string lines;
  for (int i = 0; i < n; ++i)
    lines += "X-Filler-" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  return lines;
}

// n continuation lines " x".
std::string continuations(int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) lines += " x\n";
  return lines;
}

// Cc header lines that name the receivers r0@x .. r(n-1)@x, ten a line.
std::string many_receivers(int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) {
    lines += (i % 10 == 0 ? "Cc: " : ", ") + ("r" + std::to_string(i) + "@x");
    if (i % 10 == 9 || i == n - 1) lines += "\n";
  }
  return lines;
}

class Intake : public DefaultConfigTest {
 protected:
  TempDir dir;
};

struct CodeCase {
  const char* name;
  std::string message;
  int code;
  OptionalText sender;
  StringList receivers;
  StringList forced_receivers = {};
  OptionalText forced_sender = std::nullopt;
  std::function<void()> configure = [] {};
};

TEST_F(Intake, SenderReceiversAndMailCode) {
  write_gdbm_keys(dir.file("blacklist"), {"bl@x"});
  const auto use_blacklist = [&] { g_config.blacklist = dir.file("blacklist"); };
  const std::string long_x(2090, 'x');
  const CodeCase cases[] = {
      {"empty input", "", 128, std::nullopt, {}},
      {"empty first line", "\nFrom: f@x\nTo: r@x\n", 128, std::nullopt, {}},
      {"both forced, empty input", "", 6, "s@x", {"r@x"}, {"r@x"}, "s@x"},
      {"typical",
       "From: Some Name <Box@Host>\nTo: Local.User@Site\nSubject: Lunch\n\nHi\n",
       0,
       "box@host",
       {"local.user@site"}},
      {"sender header stops the reply", "Sender: s@x\nFrom: f@x\nTo: r@x\n", 256, "s@x", {"r@x"}},
      {"empty sender", "Sender: \nFrom: f@x\nTo: r@x\n", 384, std::nullopt, {"r@x"}},
      {"sender without address keeps the earlier one",
       "From: f@x\nSender: <>\nTo: r@x\n",
       384,
       "f@x",
       {"r@x"}},
      {"reply-to before from", "Reply-To: rt@x\nFrom: f@x\nTo: r@x\n", 8, "rt@x", {"r@x"}},
      {"from before reply-to", "From: f@x\nReply-To: rt@x\nTo: r@x\n", 8, "rt@x", {"r@x"}},
      {"sender beats reply-to",
       "Reply-To: rt@x\nSender: s@x\nReply-To: rt2@x\nTo: r@x\n",
       264,
       "s@x",
       {"r@x"}},
      {"from without address", "From: $%^\nReply-To: rt@x\nTo: r@x\n", 136, "rt@x", {"r@x"}},
      {"last from wins", "FROM: a@x\nfrom: b@x\nTo: r@x\n", 0, "b@x", {"r@x"}},
      {"name with a blank before the colon", "From : f@x\nTo : r@x\n", 128, std::nullopt, {}},
      {"header without value", "From:\nTo: r@x\n", 128, std::nullopt, {"r@x"}},
      {"forced sender ignores sender headers",
       "Sender: s@x\nReply-To: rt@x\nFrom: f@x\nTo: r@x\n",
       2,
       "forced@x",
       {"r@x"},
       {},
       "forced@x"},
      {"forced receivers ignore receiver headers",
       "From: f@x\nTo: r@x\nCc: c@x\n",
       4,
       "f@x",
       {"a@x", "b@x"},
       {"a@x", "b@x"}},
      {"forced receiver on the blacklist",
       "From: f@x\n",
       5,
       "f@x",
       {"ok@x"},
       {"bl@x", "ok@x"},
       std::nullopt,
       use_blacklist},
      {"blacklisted sole receiver",
       "From: f@x\nTo: BL@x\n",
       129,
       "f@x",
       {},
       {},
       std::nullopt,
       use_blacklist},
      {"duplicates ignore case",
       "From: f@x\nTo: R@X, s@x\nCc: r@x,S@x,,\n",
       0,
       "f@x",
       {"r@x", "s@x"}},
      {"recvheader names",
       "From: f@x\nTo: t@x\nCc: c@x\nX-Rcpt: a@x\n",
       0,
       "f@x",
       {"a@x"},
       {},
       std::nullopt,
       [] { g_config.recvheader = {"x-rcpt"}; }},
      {"sender header as receiver header",
       "From: <>\nReply-To: Name <rt@x>, o@x\n",
       136,
       "rt@x",
       {"rt@x"},
       {},
       std::nullopt,
       [] {
         g_config.recvheader = {"reply-to", "from"};
       }},
      {"folded receiver list", "From: f@x\nTo: a@x,\n\tb@x\n", 0, "f@x", {"a@x", "b@x"}},
      // recipient_delimiter cuts receivers, header or forced, before the
      // duplicate check and the blacklist; never the sender.
      {"extension cut, duplicates merged",
       "From: f+x@x\nTo: Jane+News@x, jane@x\nCc: +tag@x, b-c+d@x\n",
       0,
       "f+x@x",
       {"jane@x", "+tag@x", "b-c@x"},
       {},
       std::nullopt,
       [] { g_config.recipient_delimiter.assign(1, '+'); }},
      {"extension kept without the directive",
       "From: f@x\nTo: jane+news@x, jane@x\n",
       0,
       "f@x",
       {"jane+news@x", "jane@x"}},
      {"forced receivers cut and merged",
       "From: f@x\n",
       4,
       "f@x",
       {"jane@x"},
       {"jane-a@x", "jane+b@x"},
       std::nullopt,
       [] { g_config.recipient_delimiter = "+-"; }},
      {"blacklist sees the cut receiver",
       "From: f@x\nTo: bl+tag@x, ok@x\n",
       1,
       "f@x",
       {"ok@x"},
       {},
       std::nullopt,
       [&] {
         use_blacklist();
         g_config.recipient_delimiter = "+";
       }},
      {"continuation of the first line", " From: f@x\nTo: r@x\n", 128, std::nullopt, {"r@x"}},
      {"body not interpreted", "From: f@x\nTo: r@x\n\nTo: e@x\nSender: s@x\n", 0, "f@x", {"r@x"}},
      // The CR LF empty line ends the header: the body's lines are no headers.
      {"CR-LF lines", "From: f@x\r\nTo: r@x\r\n\r\nCc: c@x\r\n", 0, "f@x", {"r@x"}},
      {"CR-LF body may not choose the sender",
       "From: f@x\r\nTo: r@x\r\n\r\nSender: evil@x\r\nReply-To: evil@x\r\n",
       0,
       "f@x",
       {"r@x"}},
      // A line of only CRs is neither a field nor a continuation: it ends
      // the header like the empty line.
      {"a line of CRs ends the header", "From: f@x\r\n\r\r\nTo: r@x\r\n", 128, "f@x", {}},
      // A line whose text a NUL ends at once is an empty line: the header
      // ends there.
      {"NUL ends the line",
       "From: f@x\nTo: r@x\0,s@x\nCc: c@x\n\0To: n@x\nCc: d@x\n"s,
       0,
       "f@x",
       {"r@x", "c@x"}},
      {"bare mailer-daemon is no sender",
       "From: mailer-daemon\nTo: r@x\n",
       128,
       std::nullopt,
       {"r@x"}},
      // The newline after 2098 bytes is the rest of that line, not an
      // empty line that ends the header.
      {"2098-byte line does not end the header",
       "From: f@x\nX-Long: " + long_x + "\nTo: r@x\n",
       0,
       "f@x",
       {"r@x"}},
      {"2097-byte line does not",
       "From: f@x\nX-Long: " + long_x.substr(1) + "\nTo: r@x\n",
       0,
       "f@x",
       {"r@x"}},
      // The rest of a longer line is dropped: no header line can hide in it.
      {"rest of a longer line is dropped",
       "From: f@x\nX-Long: " + long_x + "To: r@x\nCc: c@x\n",
       0,
       "f@x",
       {"c@x"}},
      {"rest of a longer comment cannot choose the sender",
       "From: f@x (" + long_x + "Sender: evil@x\nTo: r@x\n",
       0,
       "f@x",
       {"r@x"}},
      // A sender needs a local part and a domain around its '@'.
      {"group syntax as From", "From: team: a@b, c@x;\nTo: r@x\n", 128, std::nullopt, {"r@x"}},
      {"bare word as Reply-To keeps the earlier sender",
       "From: f@x\nReply-To: team\nTo: r@x\n",
       136,
       "f@x",
       {"r@x"}},
      {"no local part", "From: <@x>\nTo: r@x\n", 128, std::nullopt, {"r@x"}},
      {"no domain", "From: f@\nTo: r@x\n", 128, std::nullopt, {"r@x"}},
      {"forced sender without '@'", "From: f@x\nTo: r@x\n", 130, std::nullopt, {"r@x"}, {}, "team"},
      // The header ends at a line that is neither a field nor a continuation.
      {"a line without a colon ends the header",
       "From: f@x\nTo: r@x\nnonsense\nReply-To: rt@x\nCc: c@x\n",
       0,
       "f@x",
       {"r@x"}},
      {"a line of blanks and CR ends the header", "From: f@x\n \t\r\nTo: r@x\n", 128, "f@x", {}},
      {"a field name with a blank ends the header",
       "From: f@x\nTo: r@x\nX Y: z\nCc: c@x\n",
       0,
       "f@x",
       {"r@x"}},
      {"the mbox separator is passed over",
       "From f@x  Fri Dec 11 10:00:00 2026\nFrom: f@x\nTo: r@x\n",
       0,
       "f@x",
       {"r@x"}},
      {"folded lines stay header",
       "From: f@x\nTo: a@x,\n\tr@x\nCc:\n c@x\n",
       0,
       "f@x",
       {"a@x", "r@x", "c@x"}},
  };
  for (const CodeCase& c : cases) {
    config_set_defaults();
    c.configure();
    const MailState mail = intake(c.message, c.forced_receivers, c.forced_sender);
    EXPECT_EQ(mail.mail_code, c.code) << c.name;
    EXPECT_EQ(mail_is_answered(mail), c.code < 16) << c.name;
    EXPECT_EQ(mail.sender, c.sender) << c.name;
    EXPECT_EQ(mail.receivers, c.receivers) << c.name;
  }
}

TEST_F(Intake, SubjectAndMessageId) {
  const struct Case {
    std::string message;
    OptionalText subject;
    OptionalText message_id;
  } cases[] = {
      {"From: f@x\n", std::nullopt, std::nullopt},
      {"Subject:\nMessage-ID:\n", std::nullopt, std::nullopt},
      {"Subject: \n", "", std::nullopt},
      {"Subject:  two\nMessage-Id: <ID@Host>\n", " two", "<ID@Host>"},
      {"subject:\tx\n", "\tx", std::nullopt},
      {"Subject: Re: hi::\n", "Re: hi", std::nullopt},
      {"Subject: first\nSubject: last\r\n", "last\r", std::nullopt},
      // Unfolding removes the line break and keeps the blank.
      {"Subject: Hello\n World\n", "Hello World", std::nullopt},
      {"Subject: Hello\n  World\n\tagain\n", "Hello  World\tagain", std::nullopt},
      {"Subject: for the\r\n northern\r\n office\r\n", "for the northern office\r", std::nullopt},
      {"Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\n =?UTF-8?Q?aus_K=C3=B6ln?=\n",
       "=?UTF-8?Q?Gr=C3=BC=C3=9Fe?= =?UTF-8?Q?aus_K=C3=B6ln?=", std::nullopt},
      // Only the break itself goes: a CR inside a line stays.
      {"Subject: a\rb\n c\n", "a\rb c", std::nullopt},
      {"Subject: a\0b\nMessage-ID: <x\0y>\n"s, "a", "<x"},
      // The Message-ID is trimmed of blanks; a blank one is none.
      {"Message-ID:  \t<a@b> \r\n", std::nullopt, "<a@b>"},
      {"Message-ID:\r\n <folded@b>\r\n", std::nullopt, "<folded@b>"},
      {"Message-ID: <first@b>\nMessage-ID: \t\r\n", std::nullopt, std::nullopt},
      {"Message-ID: <first@b>\nMessage-ID: <last@b>\n", std::nullopt, "<last@b>"},
  };
  for (const Case& c : cases) {
    const MailState mail = intake(c.message);
    EXPECT_EQ(mail.subject, c.subject) << c.message;
    EXPECT_EQ(mail.message_id, c.message_id) << c.message;
  }
}

TEST_F(Intake, BadHeaderLinesMatchExactlyBeforeUnfolding) {
  write_gdbm_keys(dir.file("badheaders"),
                  {"X-Spam: yes", " continued", "Precedence: bulk\r", "X-List: a,b"});
  g_config.badheaders = dir.file("badheaders");
  const std::string start = "From: f@x\nTo: r@x\n";
  const struct Case {
    std::string header;
    int code;
  } cases[] = {
      {"X-Spam: yes\n", 16},
      {"X-Spam: yes", 16},  // no newline at the end of input
      {"x-spam: yes\n", 0},
      {"X-Spam:  yes\n", 0},
      {"X-Spam: yes\0 and more\n"s, 16},
      {"X-Note: a\n continued\n", 16},
      {"X-Note: a\ncontinued\n", 0},
      // The unfolded header is never looked up.
      {"X-List: a,\n\tb\n", 0},
      {"Precedence: bulk\r\n", 16},
      {"Precedence: bulk\n", 0},
      {"\nX-Spam: yes\n", 0},
  };
  for (const Case& c : cases) {
    const MailState mail = intake(start + c.header);
    EXPECT_EQ(mail_is_answered(mail), c.code == 0) << c.header;
    EXPECT_EQ(mail.mail_code, c.code) << c.header;
  }
}

TEST_F(Intake, HeaderLineLimit) {
  const std::string start = "From: f@x\nTo: r@x\n";
  const struct Case {
    int maxheader;
    std::string message;
    int code;
    StringList receivers;
  } cases[] = {
      {256, start + filler(254), 0, {"r@x"}},
      // Line 257 is still interpreted, line 258 is not.
      {256, start + filler(254) + "Cc: c@x\n", 32, {"r@x", "c@x"}},
      {256, start + filler(255) + "Cc: c@x\n", 32, {"r@x"}},
      {256, start + filler(254) + "\nX-Body: 1\nX-Body: 2\n", 0, {"r@x"}},
      // Continuation lines count.
      {12, start + "Subject: a\n" + continuations(9), 0, {"r@x"}},
      {12, start + "Subject: a\n" + continuations(10), 32, {"r@x"}},
      // A long line counts once: its rest is dropped, not read as lines.
      {3, start + "X-Long: " + std::string(30000, 'x') + "\n", 0, {"r@x"}},
      {2, start + "X-Long: " + std::string(30000, 'x') + "\n", 32, {"r@x"}},
      {0, start, 32 | 128, {}},
      {0, "", 128, {}},
      {-1, start, 32 | 128, {}},
      {-1, "", 32 | 128, {}},
  };
  for (const Case& c : cases) {
    g_config.maxheader = c.maxheader;
    const MailState mail = intake(c.message);
    EXPECT_EQ(mail.mail_code, c.code) << c.maxheader << " " << c.message.size();
    EXPECT_EQ(mail.receivers, c.receivers) << c.maxheader << " " << c.message.size();
  }
}

// Whom the message names, whatever chose the receivers: every address of
// the addressing headers, folded ones included, and nothing from others.
TEST_F(Intake, RecordsTheAddressesTheMessageNames) {
  const MailState mail = intake(
      "From: f@x\nTo: A <One@x>, two@x\nCC: three@x,\n four@x\nBcc: five@x\n"
      "Resent-To: six@x\nResent-Cc: seven@x\nResent-Bcc: eight@x\nReply-To: no@x\n"
      "X-To: no@x\nReferences:  <a@b> <c@d> \r\n\nTo: body@x\n");
  EXPECT_EQ(addresses_named(mail), (StringList{"one@x", "two@x", "three@x", "four@x", "five@x",
                                               "six@x", "seven@x", "eight@x"}));
  EXPECT_EQ(mail.references, "<a@b> <c@d>");
}

TEST_F(Intake, ReceiverLimitIsMaxreceiversPlusOne) {
  StringList first_257;
  for (int i = 0; i < 257; ++i) first_257.push_back("r" + std::to_string(i) + "@x");

  MailState mail = intake("From: f@x\n" + many_receivers(257));
  EXPECT_TRUE(mail_is_answered(mail));
  EXPECT_EQ(mail.receivers, first_257);
  EXPECT_EQ(mail.mail_code, 0);

  // Duplicates never count and never set a bit, not even on a full list.
  mail = intake("From: f@x\n" + many_receivers(257) + "To: R0@X, r256@x\n");
  EXPECT_TRUE(mail_is_answered(mail));
  EXPECT_EQ(mail.mail_code, 0);

  mail = intake("From: f@x\n" + many_receivers(258));
  EXPECT_FALSE(mail_is_answered(mail));
  EXPECT_EQ(mail.receivers, first_257);
  EXPECT_EQ(mail.mail_code, 64);

  // Blacklisted addresses do not count either.
  write_gdbm_keys(dir.file("blacklist"), {"b1@x", "b2@x"});
  g_config.blacklist = dir.file("blacklist");
  g_config.maxreceivers = 1;
  mail = intake("From: f@x\nTo: b1@x, a@x, b2@x, b@x\n");
  EXPECT_TRUE(mail_is_answered(mail));
  EXPECT_EQ(mail.receivers, (StringList{"a@x", "b@x"}));
  EXPECT_EQ(mail.mail_code, 1);
  mail = intake("From: f@x\nTo: a@x, b@x, c@x\n");
  EXPECT_FALSE(mail_is_answered(mail));
  EXPECT_EQ(mail.mail_code, 64);

  g_config.maxreceivers = -1;
  mail = intake("From: f@x\nTo: a@x\n");
  EXPECT_FALSE(mail_is_answered(mail));
  EXPECT_TRUE(mail.receivers.empty());
  EXPECT_EQ(mail.mail_code, 64 | 128);
}

TEST_F(Intake, ReadsALargeBodyToItsEnd) {
  std::string body;
  for (int i = 0; i < 40000; ++i)
    body += "To: body" + std::to_string(i) + "@x, a line of the body\n";
  // intake() checks that the whole input was consumed.
  MailState mail = intake("From: f@x\nTo: r@x\n\n" + body);
  EXPECT_TRUE(mail_is_answered(mail));
  EXPECT_EQ(mail.receivers, StringList{"r@x"});
  EXPECT_FALSE(mail_is_answered(intake("\n" + body)));
  g_config.maxheader = 1;
  mail = intake(body);
  EXPECT_FALSE(mail_is_answered(mail));
  EXPECT_EQ(mail.mail_code, 32 | 128);
}

TEST_F(Intake, LogMessages) {
  LogCapture capture;
  g_config.badheaders = dir.file("missing-badheaders");
  g_config.blacklist = dir.file("missing-blacklist");
  EXPECT_EQ(intake("From: f@x\nTo: r@x\n").mail_code, 0);
  EXPECT_TRUE(capture.records().empty());

  g_config.loglevel = 1;
  intake("From: f@x\nTo: r@x\n");
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_WARNING, "WARN/IO " + dir.file("missing-badheaders")},
                                    {LOG_WARNING, "WARN/IO " + dir.file("missing-blacklist")}}));

  config_set_defaults();
  g_config.loglevel = 2;
  capture.clear();
  intake("From: f@x\nTo: r@x\n");
  EXPECT_TRUE(capture.records().empty());

  g_config.loglevel = 3;
  intake("From: f@x\nTo: r@x\n");
  intake("Message-ID: <a\rb@x>\nSender: s@x\n");
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_DEBUG, "DEBUG/MAIL Code: 0 MessageID: No ID found"},
                                    {LOG_DEBUG, "DEBUG/MAIL Code: 384 MessageID: <a?b@x>"}}));
}

// A message handed over in pieces of at most chunk bytes, as an LMTP
// session's DATA arrives; gate, when set, is called after each piece has
// been copied into the reader's buffer, before the read returns.
class PieceSource : public ByteSource {
 public:
  PieceSource(std::string text, size_t chunk, std::function<void()> gate = {})
      : text_(std::move(text)), chunk_(chunk), gate_(std::move(gate)) {}
  ssize_t read(char* buffer, size_t size) override {
    const size_t n = std::min({size, chunk_, text_.size() - pos_});
    memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    if (gate_) gate_();
    return static_cast<ssize_t>(n);
  }
  size_t consumed() const { return pos_; }

 private:
  std::string text_;
  size_t chunk_;
  std::function<void()> gate_;
  size_t pos_ = 0;
};

// Read once with the receivers left open, a message is what intake with
// each receiver forced makes of it: the blacklist, the receiver limit and
// the mail code are that receiver's alone.
TEST_F(Intake, ReadOnceThenJudgedPerReceiverAsIfForced) {
  write_gdbm_keys(dir.file("blacklist"), {"bl@x"});
  g_config.blacklist = dir.file("blacklist");
  const std::string text = "From: F@X\nTo: r@x, other@x\nSubject: hi\n\nbody\n";
  const StringList receivers[] = {{"bl@x"}, {"r@x"}, {"x@y"}, {"a@x", "bl@x", "A@x"}};
  PieceSource source(text, 7);
  const MailState message = mail_read(source, true, std::nullopt, false);
  EXPECT_EQ(source.consumed(), text.size());
  EXPECT_TRUE(message.receivers.empty());
  for (const StringList& forced : receivers) {
    const MailState alone = mail_for_receivers(message, forced);
    const MailState whole = intake(text, forced);
    EXPECT_EQ(alone.mail_code, whole.mail_code) << forced.front();
    EXPECT_EQ(alone.receivers, whole.receivers);
    EXPECT_EQ(alone.sender, whole.sender);
    EXPECT_EQ(alone.subject, whole.subject);
  }
  // The blacklisted receiver's mark stays in its own copy.
  EXPECT_FALSE(mail_is_answered(mail_for_receivers(message, {"bl@x"})));
  EXPECT_TRUE(mail_is_answered(mail_for_receivers(message, {"r@x"})));
  EXPECT_EQ(message.mail_code, CODE_FORCED_RECEIVERS);
}

// Each thread reads into a block of its own: a reader held between the
// read of its header and its parsing, while another thread reads a whole
// message, still finds its own bytes where they were read to.
TEST_F(Intake, ConcurrentReadersKeepTheirOwnBlocks) {
  std::mutex mutex;
  std::condition_variable changed;
  int stage = 0;  // 1: the first reader holds; 2: the second has read
  const auto advance_to = [&](int next) {
    std::lock_guard lock(mutex);
    stage = next;
    changed.notify_all();
  };
  const auto wait_for = [&](int wanted) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return stage >= wanted; });
  };
  const std::string first = "From: one@x\nTo: r1@x\nSubject: first\n\n";
  bool paused = false;
  PieceSource held(first, first.size(), [&] {
    if (paused) return;
    paused = true;
    advance_to(1);
    wait_for(2);
  });
  MailState one;
  // Each thread has its own configuration record: the reader starts with
  // this one's.
  const Config config = g_config;
  std::thread reader([&] {
    g_config = config;
    one = mail_read(held, false, std::nullopt, false);
  });
  wait_for(1);
  PieceSource other("From: two@x\nTo: r2@x\nSubject: " + std::string(200000, 'z') + "\n\n",
                    1 << 20);
  const MailState two = mail_read(other, false, std::nullopt, false);
  advance_to(2);
  reader.join();
  EXPECT_EQ(one.sender, "one@x");
  EXPECT_EQ(one.receivers, StringList{"r1@x"});
  EXPECT_EQ(one.subject, "first");
  EXPECT_EQ(two.sender, "two@x");
}

// With rfc3834 yes, automatic mail is declined with CODE_AUTOMATIC_MAIL (512)
// and one line naming the first rule that caught it; without the directive
// the same messages keep the code they always had.
TEST_F(Intake, AutomaticMailUnderRfc3834) {
  const std::string to = "To: r@x\n";
  const std::string from = "From: p@x\n" + to;
  const struct Case {
    const char* name;
    std::string message;
    const char* reason;  // null: not automatic mail
    int other_code = 0;  // the code without the directive
    OptionalText forced_sender = std::nullopt;
    bool null_sender_forced = false;
  } cases[] = {
      // Auto-Submitted: any keyword but "no"; comments and parameters after
      // it, and blanks around it, do not count.
      {"auto-replied", from + "Auto-Submitted: auto-replied\n", "Auto-Submitted"},
      {"keyword with a comment", from + "Auto-Submitted: auto-generated (x)\n", "Auto-Submitted"},
      {"keyword with a parameter, name in lower case",
       from + "auto-submitted: AUTO-NOTIFIED; owner-email=\"a@b\"\n", "Auto-Submitted"},
      {"no blank after the colon", from + "AUTO-SUBMITTED:auto-replied\n", "Auto-Submitted"},
      {"unknown keyword", from + "Auto-Submitted: nope\n", "Auto-Submitted"},
      {"keyword glued to a comma", from + "Auto-Submitted: no,\n", "Auto-Submitted"},
      {"folded", from + "Auto-Submitted:\n auto-replied\n", "Auto-Submitted"},
      {"folded CR-LF lines", "From: p@x\r\nTo: r@x\r\nAuto-Submitted:\r\n auto-replied\r\n",
       "Auto-Submitted"},
      {"nested comment before the keyword", from + "Auto-Submitted: (a (b) c) auto-replied\n",
       "Auto-Submitted"},
      {"no", from + "Auto-Submitted: no\n", nullptr},
      {"No", from + "Auto-Submitted: No\n", nullptr},
      {"no with a comment", from + "Auto-Submitted:  no (manual)\n", nullptr},
      {"no after a comment", from + "Auto-Submitted: (by hand) no\n", nullptr},
      {"no after a nested comment", from + "Auto-Submitted: (a (b) auto-replied) no\n", nullptr},
      {"no with a parameter", from + "Auto-Submitted: no;x=y\n", nullptr},
      {"no between blanks, CR-LF", "From: p@x\r\nTo: r@x\r\nAuto-Submitted: \tno\t\r\n", nullptr},
      {"without a value", from + "Auto-Submitted:\n", nullptr},
      {"blank value", from + "Auto-Submitted: \t\n", nullptr},
      {"only a comment", from + "Auto-Submitted: (auto-replied)\n", nullptr},
      {"quoted bracket keeps the comment open", from + "Auto-Submitted: (a \\) auto-replied\n",
       nullptr},
      {"blank before the colon", from + "Auto-Submitted : auto-replied\n", nullptr},
      {"other header name", from + "X-Auto-Submitted: auto-replied\n", nullptr},
      {"auto-replied only in the body", from + "\nAuto-Submitted: auto-replied\n", nullptr},
      // Precedence: the whole value, less blanks.
      {"precedence bulk", from + "Precedence: bulk\n", "Precedence"},
      {"precedence LIST", from + "precedence: LIST\n", "Precedence"},
      {"precedence junk between blanks", from + "Precedence:  junk \t\n", "Precedence"},
      {"precedence bulk, CR-LF", "From: p@x\r\nTo: r@x\r\nPrecedence: bulk\r\n", "Precedence"},
      {"precedence folded", from + "Precedence:\n bulk\n", "Precedence"},
      {"precedence first-class", from + "Precedence: first-class\n", nullptr},
      {"precedence bulk mail", from + "Precedence: bulk mail\n", nullptr},
      // List headers: presence with any value.
      {"List-Id", from + "List-Id: <any.list.example>\n", "List-Id"},
      {"List-Help", from + "list-help: <mailto:list-request@x?subject=help>\n", "List-Help"},
      {"List-Subscribe", from + "LIST-SUBSCRIBE: <https://x/s>\n", "List-Subscribe"},
      {"List-Unsubscribe", from + "List-Unsubscribe: <mailto:u@x>\n", "List-Unsubscribe"},
      {"List-Post", from + "List-Post: NO\n", "List-Post"},
      {"List-Owner", from + "List-Owner: <mailto:o@x>\n", "List-Owner"},
      {"List-Archive", from + "List-archive: <https://x/a>\n", "List-Archive"},
      {"List-Id folded", from + "List-Id: Some list\n <some.list.example>\n", "List-Id"},
      {"List-Id without a value", from + "List-Id:\n", nullptr},
      {"List-Unsubscribe-Post", from + "List-Unsubscribe-Post: List-Unsubscribe=One-Click\n",
       nullptr},
      // X-Auto-Response-Suppress: OOF or All among its comma-separated items.
      {"suppress OOF", from + "X-Auto-Response-Suppress: OOF\n", "X-Auto-Response-Suppress"},
      {"suppress All, name in upper case", from + "X-AUTO-RESPONSE-SUPPRESS: All\n",
       "X-Auto-Response-Suppress"},
      {"suppress oof last, blanks around items",
       from + "X-Auto-Response-Suppress: DR , RN,\tNRN,  oof \r\n", "X-Auto-Response-Suppress"},
      {"suppress all first", from + "X-Auto-Response-Suppress: all,DR\n",
       "X-Auto-Response-Suppress"},
      {"suppress folded", from + "X-Auto-Response-Suppress: DR,\n OOF\n",
       "X-Auto-Response-Suppress"},
      {"suppress other kinds", from + "X-Auto-Response-Suppress: DR, RN, NRN, AutoReply\n",
       nullptr},
      {"suppress None", from + "X-Auto-Response-Suppress: None\n", nullptr},
      {"suppress word containing OOF", from + "X-Auto-Response-Suppress: OOFS, NoOOF, All-x\n",
       nullptr},
      {"suppress OOF OOF is not one item", from + "X-Auto-Response-Suppress: OOF All\n", nullptr},
      {"suppress empty", from + "X-Auto-Response-Suppress: ,\n", nullptr},
      // The sender that intake finally chose.
      {"mailer-daemon", "From: Mail Delivery System <MAILER-DAEMON@host>\n" + to, "sender"},
      {"mailer-daemon of a subdomain", "From: mailer-daemon@mx.host\n" + to, "sender"},
      {"listserv", "From: listserv@x\n" + to, "sender"},
      {"majordomo", "From: Majordomo@x\n" + to, "sender"},
      {"owner- prefix", "From: owner-list@x\n" + to, "sender"},
      {"-request suffix", "From: list-request@x\n" + to, "sender"},
      {"-bounces suffix", "From: list-bounces@x\n" + to, "sender"},
      {"-owner suffix", "From: list-owner@x\n" + to, "sender"},
      {"postmaster is a person", "From: postmaster@x\n" + to, nullptr},
      {"owner without a hyphen", "From: owner@x\n" + to, nullptr},
      {"-requests", "From: list-requests@x\n" + to, nullptr},
      {"robot word inside the local part", "From: x-owner-y@x\n" + to, nullptr},
      {"robot word in the domain", "From: p@mailer-daemon.x\n" + to, nullptr},
      {"robot in the Reply-To that wins", "From: p@x\nReply-To: list-request@x\n" + to, "sender",
       8},
      {"robot From beaten by Reply-To", "From: list-request@x\nReply-To: p@x\n" + to, nullptr, 8},
      {"robot Sender", "Sender: owner-list@x\nFrom: p@x\n" + to, "sender", 256},
      {"no sender at all", to, nullptr, 128},
      // The command line's sender.
      {"forced robot sender", from, "sender", 2, "mailer-daemon@x"},
      {"forced person, robot From", "From: mailer-daemon@x\n" + to, nullptr, 2, "p@x"},
      {"forced person, list mail", from + "List-Id: <l.x>\n", "List-Id", 2, "p@x"},
      {"forced person, Sender header", "Sender: s@x\n" + from + "Precedence: list\n", "Precedence",
       2, "p@x"},
      {"null sender", from, "sender", 0, std::nullopt, true},
      {"null sender, robot From", "From: mailer-daemon@x\n" + to, "sender", 0, std::nullopt, true},
      {"null sender, no header sender", to, "sender", 128, std::nullopt, true},
      // One line per message: the first reason found.
      {"first reason only", "From: mailer-daemon@x\n" + to + "Precedence: bulk\nList-Id: <l.x>\n",
       "Precedence"},
      // Bits of their own stay.
      {"with a Sender header", "Sender: s@x\n" + from + "Auto-Submitted: auto-replied\n",
       "Auto-Submitted", 256},
  };
  LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool rfc3834 : {false, true}) {
      config_set_defaults();
      g_config.loglevel = 2;
      g_config.rfc3834 = rfc3834;
      capture.clear();
      const bool declined = rfc3834 && c.reason != nullptr;
      const int code = c.other_code | (declined ? CODE_AUTOMATIC_MAIL : 0);
      const MailState mail = intake(c.message, {}, c.forced_sender, c.null_sender_forced);
      EXPECT_EQ(mail.mail_code, code) << "rfc3834 " << rfc3834;
      EXPECT_EQ(mail_is_answered(mail), code < 16) << "rfc3834 " << rfc3834;
      std::vector<LogRecord> expected_log;
      if (declined) {
        expected_log.push_back({LOG_INFO, "INFO/MAIL not answering automatic mail: "s + c.reason});
      }
      EXPECT_EQ(capture.records(), expected_log) << "rfc3834 " << rfc3834;
    }
  }
}

TEST_F(Intake, AutomaticMailLineNeedsLoglevelTwo) {
  LogCapture capture;
  g_config.rfc3834 = true;
  g_config.loglevel = 1;
  const MailState mail = intake("From: p@x\nTo: r@x\nPrecedence: bulk\n");
  EXPECT_FALSE(mail_is_answered(mail));
  EXPECT_EQ(mail.mail_code, CODE_AUTOMATIC_MAIL);
  EXPECT_TRUE(capture.records().empty());
  g_config.loglevel = 3;
  EXPECT_FALSE(
      mail_is_answered(intake("From: p@x\nTo: r@x\nMessage-ID: <1@x>\nPrecedence: bulk\n")));
  const std::vector<LogRecord> expected = {
      {LOG_INFO, "INFO/MAIL not answering automatic mail: Precedence"},
      {LOG_DEBUG, "DEBUG/MAIL Code: 512 MessageID: <1@x>"}};
  EXPECT_EQ(capture.records(), expected);
}

// Hostile values: binary bytes, NUL bytes and huge folded values neither
// crash the rules nor fool them.
TEST_F(Intake, AutomaticMailRulesOnHostileValues) {
  g_config.rfc3834 = true;
  const std::string from = "From: p@x\nTo: r@x\n";
  std::string deep_comment = "Auto-Submitted: ";
  for (int i = 0; i < 200; ++i) deep_comment += std::string(2000, '(') + "\n ";
  const struct Case {
    std::string message;
    int code;
  } cases[] = {
      {from + "Auto-Submitted: \xff\x80\x01\n", CODE_AUTOMATIC_MAIL},
      {from + "Auto-Submitted: no\0 auto-replied\n"s, 0},
      {from + "Precedence: bu\0lk\n"s, 0},
      {from + "List-Id: \0<l.x>\n"s, 0},
      {from + "List-Id: \x7f\n", CODE_AUTOMATIC_MAIL},
      // 400,000 unclosed comment openers, folded: one header of no keyword.
      {from + deep_comment + "\n", 0},
  };
  for (const Case& c : cases) {
    g_config.maxheader = 1000;
    const MailState mail = intake(c.message);
    EXPECT_EQ(mail_is_answered(mail), c.code == 0) << c.message.substr(0, 60);
    EXPECT_EQ(mail.mail_code, c.code) << c.message.substr(0, 60);
  }
}

// The program itself: main hands the command line's addresses to intake and
// ends quietly either way.
TEST(IntakeProgram, MainRunsIntakeFirstAndEndsQuietlyWhenItDeclines) {
  TempDir dir;
  // No directory listens on port 1: an accepted message ends at the bind.
  const std::string config = dir.write(
      "orvelt.cfg", "loglevel 3\nserver 127.0.0.1\nport 1\nblockfiles " + dir.path() + "\n");
  const struct Case {
    std::vector<std::string> args;
    std::string message;
    std::string logged;
    bool answered;
  } cases[] = {
      {{}, "", "DEBUG/MAIL Code: 128 MessageID: No ID found", false},
      {{"-a", "R@X", "-s", "<S@X>"}, "", "DEBUG/MAIL Code: 6 MessageID: No ID found", true},
      {{},
       "From: f@x\nTo: r@x\nMessage-ID: <1@x>\n\nbody\n",
       "DEBUG/MAIL Code: 0 MessageID: <1@x>",
       true},
      {{}, "Sender: s@x\nTo: r@x\n", "DEBUG/MAIL Code: 256 MessageID: No ID found", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-c", config};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult r = run_orvelt(args, c.message);
    EXPECT_TRUE(r.exited) << c.logged;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.log.empty()) << c.logged;
    EXPECT_EQ(r.log.front(), (LogRecord{LOG_DEBUG, c.logged}));
    if (c.answered) {
      // Accepted: the reply loop runs and cannot bind.
      EXPECT_EQ(r.exit_status, 1) << c.logged;
      EXPECT_EQ(r.log.back().text.rfind("CRIT/LDAP ", 0), 0u) << c.logged;
    } else {
      EXPECT_EQ(r.exit_status, 0) << c.logged;
      EXPECT_EQ(r.log.size(), 1u) << c.logged;
    }
  }
}

}  // namespace
