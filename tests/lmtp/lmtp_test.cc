#include "lmtp/lmtp.h"

#include <limits.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lmtp/session.h"
#include "util/unique_fd.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string host() {
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

// What the handler was given for one transaction.
struct Delivery {
  OptionalText sender;
  bool null_sender = false;
  std::vector<std::string> recipients;
  std::string data;  // as read (when kept)
  size_t bytes = 0;  // read in all
  bool complete = false;
};

bool operator==(const Delivery& a, const Delivery& b) {
  return a.sender == b.sender && a.null_sender == b.null_sender && a.recipients == b.recipients &&
         a.data == b.data && a.complete == b.complete;
}

void PrintTo(const Delivery& d, std::ostream* os) {
  *os << "{sender " << (d.null_sender ? "<>" : d.sender.value_or("(none)")) << ", to";
  for (const std::string& r : d.recipients) *os << " " << r;
  *os << ", data \"" << testing::PrintToString(d.data) << "\", "
      << (d.complete ? "complete" : "incomplete") << "}";
}

// The stand-in for orveltd: records what it was given and answers each
// recipient with reply_for (by default "250 2.0.0 <recipient> ok").
class RecordingHandler : public LmtpHandler {
 public:
  std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) override {
    Delivery d{envelope.sender, envelope.null_sender, envelope.recipients, "", 0, false};
    std::vector<char> buffer(read_size);
    ssize_t got;
    while ((got = data.read(buffer.data(), buffer.size())) > 0) {
      if (keep_data) d.data.append(buffer.data(), static_cast<size_t>(got));
      d.bytes += static_cast<size_t>(got);
    }
    d.complete = data.complete();
    deliveries.push_back(d);
    if (!d.complete) return {};
    if (replies) return replies(envelope);
    std::vector<std::string> lines;
    for (const std::string& r : envelope.recipients) lines.push_back("250 2.0.0 " + r + " ok");
    return lines;
  }

  size_t read_size = 4096;
  bool keep_data = true;
  std::function<std::vector<std::string>(const LmtpEnvelope&)> replies;
  std::vector<Delivery> deliveries;
};

// A client end of a socketpair whose other end lmtp_serve serves in a
// thread. The deliveries may be looked at once the session ended.
class Client {
 public:
  Client(RecordingHandler& handler, const LmtpLimits& limits) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
    fd_.reset(fds[0]);
    server_ = std::thread([fd = fds[1], &handler, &limits] {
      lmtp_serve(fd, handler, limits);
      close(fd);
    });
  }
  ~Client() {
    fd_.reset();
    if (server_.joinable()) server_.join();
  }
  // Sends text; false when the server's end is gone.
  bool send(std::string_view text) {
    while (!text.empty()) {
      const ssize_t n = ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  void end_writing() { shutdown(fd_.get(), SHUT_WR); }
  // The next count reply lines, without CR LF; fewer when the server closed
  // or nothing came for wait.
  std::vector<std::string> lines(size_t count, std::chrono::milliseconds wait = 5000ms) {
    std::vector<std::string> got;
    while (got.size() < count) {
      const size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        got.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 2);
      } else if (!receive(wait)) {
        break;
      }
    }
    return got;
  }
  // True when the server closed its end with nothing more to read.
  bool closed(std::chrono::milliseconds wait = 5000ms) {
    while (receive(wait)) {
    }
    return eof_ && pending_.empty();
  }
  // Waits for the session to end.
  void join() { server_.join(); }
  const std::string& unread() const { return pending_; }

 private:
  bool receive(std::chrono::milliseconds wait) {
    if (eof_) return false;
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(fd_.get(), buffer, sizeof buffer);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  UniqueFd fd_;
  std::thread server_;
  std::string pending_;
  bool eof_ = false;
};

std::vector<std::string> lhlo_reply() {
  return {"250-" + host(), "250-PIPELINING", "250-ENHANCEDSTATUSCODES", "250-8BITMIME", "250 DSN"};
}

// One step of a conversation: what the client sends, the replies it then
// expects (none: the next step follows after a short pause, so that the
// server most likely reads the pieces apart).
struct Exchange {
  std::string send;
  std::vector<std::string> expect;
};

struct Conversation {
  std::string name;
  std::vector<Exchange> steps;
  std::vector<Delivery> deliveries;
  bool ends = false;  // the server closes after the last step
  size_t read_size = 4096;
  size_t max_recipients = 1000;
};

Exchange lhlo() { return {"LHLO client.example\r\n", lhlo_reply()}; }
const std::vector<std::string> kOk = {"250 2.0.0 ok"};
const std::vector<std::string> kSender = {"250 2.1.0 sender ok"};
const std::vector<std::string> kRecipient = {"250 2.1.5 recipient ok"};
const std::vector<std::string> kGoAhead = {"354 go ahead, end with <CRLF>.<CRLF>"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Delivery delivered(OptionalText sender, std::vector<std::string> recipients, std::string data) {
  Delivery d;
  d.null_sender = !sender;
  d.sender = std::move(sender);
  d.recipients = std::move(recipients);
  d.data = std::move(data);
  d.complete = true;
  return d;
}

// Transactions as a client such as Postfix runs them.
std::vector<Conversation> transactions() {
  return {
      {"two recipients",
       {lhlo(),
        {"MAIL FROM:<s@x.example>\r\n", kSender},
        {"RCPT TO:<a@y.example>\r\n", kRecipient},
        {"RCPT TO:<b@y.example>\r\n", kRecipient},
        {"DATA\r\n", kGoAhead},
        {"Subject: hi\r\n\r\nbody\r\n.\r\n",
         {"250 2.0.0 a@y.example ok", "250 2.0.0 b@y.example ok"}},
        {"QUIT\r\n", {"221 2.0.0 " + host() + " closing connection"}}},
       {delivered("s@x.example", {"a@y.example", "b@y.example"}, "Subject: hi\n\nbody\n")},
       true},
      {"pipelined in one write, the next transaction after the final dot",
       {{"LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nRCPT TO:<bad>\r\nRCPT TO:<b@y>\r\nDATA\r\n",
         lhlo_reply() + kSender + kRecipient +
             std::vector<std::string>{"501 5.1.3 bad recipient address syntax"} + kRecipient +
             kGoAhead},
        {"one\r\n.\r\nMAIL FROM:<>\r\nRCPT TO:<c@y>\r\nDATA\r\ntwo\r\n.\r\nQUIT\r\n",
         std::vector<std::string>{"250 2.0.0 a@y ok", "250 2.0.0 b@y ok"} + kSender + kRecipient +
             kGoAhead +
             std::vector<std::string>{"250 2.0.0 c@y ok",
                                      "221 2.0.0 " + host() + " closing connection"}}},
       {delivered("s@x", {"a@y", "b@y"}, "one\n"), delivered(std::nullopt, {"c@y"}, "two\n")},
       true},
      {"dot-unstuffing and line ends",
       {lhlo(),
        {"MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n", kSender + kRecipient + kGoAhead},
        {"a\r\n..b\r\n...\r\n.\rx\r\nbare\nlf\r\nc\rd\r\n\r\n.x\r\n..\r\n.\r\n",
         {"250 2.0.0 a@y ok"}}},
       {delivered("s@x", {"a@y"}, "a\n.b\n..\n\rx\nbare\nlf\nc\rd\n\nx\n.\n")}},
      {"line ends and the final dot split across reads, read a byte at a time",
       {lhlo(),
        {"MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n", kSender + kRecipient + kGoAhead},
        {"x\r", {}},
        {"\n.", {}},
        {".y\r", {}},
        {"z\r", {}},
        {"\n.\r", {}},
        {"\n", {"250 2.0.0 a@y ok"}},
        {"MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n.\n",
         kSender + kRecipient + kGoAhead + std::vector<std::string>{"250 2.0.0 a@y ok"}}},
       {delivered("s@x", {"a@y"}, "x\n.y\rz\n"), delivered("s@x", {"a@y"}, "")},
       false,
       1},
  };
}

// What the envelope commands accept and give the handler.
std::vector<Conversation> envelopes() {
  return {
      {"ORCPT, NOTIFY, source routes and quoted local parts",
       {lhlo(),
        {"MAIL FROM:<@a.example,@b.example:s@x> SIZE=10 BODY=8BITMIME RET=HDRS ENVID=q+2Bz\r\n",
         kSender},
        {"RCPT TO:<route@internal> ORCPT=rfc822;orig+2Bext@y NOTIFY=SUCCESS,FAILURE\r\n",
         kRecipient},
        {"RCPT TO:<\"a b>c\"@y> orcpt=UTF-8;other@y notify=never\r\n", kRecipient},
        {"RCPT TO:<Postmaster>\r\n", kRecipient},
        {"RCPT TO:<@r:d@[IPv6:::1]>\r\n", kRecipient},
        {"DATA\r\n.\r\n",
         kGoAhead + std::vector<std::string>{"250 2.0.0 orig+ext@y ok", "250 2.0.0 \"a b>c\"@y ok",
                                             "250 2.0.0 Postmaster ok",
                                             "250 2.0.0 d@[IPv6:::1] ok"}}},
       {delivered("s@x", {"orig+ext@y", "\"a b>c\"@y", "Postmaster", "d@[IPv6:::1]"}, "")}},
      {"RSET within a transaction, NOOP, VRFY, case",
       {lhlo(),
        {"mail from:<s@x>\r\n", kSender},
        {"Rcpt To:<a@y>\r\n", kRecipient},
        {"rset\r\n", kOk},
        {"RCPT TO:<a@y>\r\n", {"503 5.5.1 need MAIL first"}},
        {"DATA\r\n", {"503 5.5.1 need MAIL first"}},
        {"NOOP\r\nnoop anything at all\r\n", kOk + kOk},
        {"VRFY a@y\r\n", {"252 2.5.0 cannot verify, but will take the message"}},
        {"MAIL FROM:<t@x>\r\nRCPT TO:<b@y>\r\nDATA\r\nm\r\n.\r\n",
         kSender + kRecipient + kGoAhead + std::vector<std::string>{"250 2.0.0 b@y ok"}}},
       {delivered("t@x", {"b@y"}, "m\n")}},
      {"too many recipients",
       {lhlo(),
        {"MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nRCPT TO:<b@y>\r\nRCPT TO:<c@y>\r\nDATA\r\n.\r\n",
         kSender + kRecipient + kRecipient +
             std::vector<std::string>{"452 4.5.3 too many recipients"} + kGoAhead +
             std::vector<std::string>{"250 2.0.0 a@y ok", "250 2.0.0 b@y ok"}}},
       {delivered("s@x", {"a@y", "b@y"}, "")},
       false,
       4096,
       2},
  };
}

// Errors: each answered with its code, and the session goes on.
std::vector<Conversation> errors() {
  return {
      {"errors, each answered and the session going on",
       {{"MAIL FROM:<s@x>\r\n", {"503 5.5.1 send LHLO first"}},
        {"RCPT TO:<a@y>\r\n", {"503 5.5.1 need MAIL first"}},
        {"HELO c\r\nEHLO c\r\n",
         {"500 5.5.1 this is an LMTP server: use LHLO",
          "500 5.5.1 this is an LMTP server: use LHLO"}},
        {"FOO\r\n\r\nMAILFROM:<s@x>\r\n",
         {"500 5.5.1 command unrecognized", "500 5.5.1 command unrecognized",
          "500 5.5.1 command unrecognized"}},
        {"LHLO\r\nLHLO \r\n", {"501 5.5.4 syntax: LHLO domain", "501 5.5.4 syntax: LHLO domain"}},
        lhlo(),
        {"DATA\r\n", {"503 5.5.1 need MAIL first"}},
        {"MAIL TO:<s@x>\r\n", {"501 5.5.4 syntax: MAIL FROM:<address> [parameters]"}},
        {"MAIL FROM:s@x\r\n", {"501 5.1.7 bad sender address syntax"}},
        {"MAIL FROM:<s>\r\n", {"501 5.1.7 bad sender address syntax"}},
        {"MAIL FROM:<s@x\r\n", {"501 5.1.7 bad sender address syntax"}},
        {"MAIL FROM:<s @x>\r\n", {"501 5.1.7 bad sender address syntax"}},
        {"MAIL FROM:<@a:>\r\n", {"501 5.1.7 bad sender address syntax"}},
        {"MAIL FROM:<s@x>junk\r\n", {"501 5.5.4 bad parameter syntax"}},
        {"MAIL FROM:<s@x> =1\r\n", {"501 5.5.4 bad parameter syntax"}},
        {"MAIL FROM:<s@x> FOO=1\r\n", {"555 5.5.4 unsupported parameter FOO"}},
        {"MAIL FROM:<s@x> SIZE=1k\r\n", {"501 5.5.4 invalid value for SIZE"}},
        {"MAIL FROM:<s@x> SIZE\r\n", {"501 5.5.4 invalid value for SIZE"}},
        {"MAIL FROM:<s@x> BODY=BINARYMIME\r\n", {"501 5.5.4 invalid value for BODY"}},
        {"MAIL FROM:<s@x> RET=ALL\r\n", {"501 5.5.4 invalid value for RET"}},
        {"MAIL FROM:<s@x> ENVID=a+4\r\n", {"501 5.5.4 invalid value for ENVID"}},
        {"MAIL FROM:<s@x> SIZE=1 size=2\r\n", {"501 5.5.4 duplicate parameter SIZE"}},
        {"MAIL FROM:<s@x> NOTIFY=NEVER\r\n", {"555 5.5.4 unsupported parameter NOTIFY"}},
        {"MAIL FROM: <s@x>\r\n", kSender},
        {"MAIL FROM:<s@x>\r\n", {"503 5.5.1 sender already given"}},
        {"DATA\r\n", {"503 5.5.1 need RCPT first"}},
        {"RCPT TO:<>\r\n", {"501 5.1.3 bad recipient address syntax"}},
        {"RCPT TO:a@y\r\n", {"501 5.1.3 bad recipient address syntax"}},
        {"RCPT TO:<a>\r\n", {"501 5.1.3 bad recipient address syntax"}},
        {"RCPT TO:<\"a@y>\r\n", {"501 5.1.3 bad recipient address syntax"}},
        {"RCPT FROM:<a@y>\r\n", {"501 5.5.4 syntax: RCPT TO:<address> [parameters]"}},
        {"RCPT TO:<a@y> SIZE=1\r\n", {"555 5.5.4 unsupported parameter SIZE"}},
        {"RCPT TO:<a@y> NOTIFY=SOMETIMES\r\n", {"501 5.5.4 invalid value for NOTIFY"}},
        {"RCPT TO:<a@y> NOTIFY=NEVER,DELAY\r\n", {"501 5.5.4 invalid value for NOTIFY"}},
        {"RCPT TO:<a@y> NOTIFY=SUCCESS,\r\n", {"501 5.5.4 invalid value for NOTIFY"}},
        {"RCPT TO:<a@y> NOTIFY\r\n", {"501 5.5.4 invalid value for NOTIFY"}},
        {"RCPT TO:<a@y> NOTIFY=\r\n", {"501 5.5.4 bad parameter syntax"}},
        {"RCPT TO:<a@y> ORCPT=rfc822;a+ZZ\r\n", {"501 5.5.4 invalid value for ORCPT"}},
        {"RCPT TO:<a@y> ORCPT=rfc822\r\n", {"501 5.5.4 invalid value for ORCPT"}},
        {"RCPT TO:<a@y> ORCPT=rfc822;\r\n", {"501 5.5.4 invalid value for ORCPT"}},
        {"RCPT TO:<a@y> ORCPT=rfc822;a+0Ab@y\r\n", {"501 5.5.4 invalid value for ORCPT"}},
        {"RCPT TO:<a@y> ORCPT=rfc822;a+00b@y\r\n", {"501 5.5.4 invalid value for ORCPT"}},
        {"DATA x\r\nRSET x\r\nQUIT x\r\nVRFY\r\n",
         {"501 5.5.4 syntax: DATA", "501 5.5.4 syntax: RSET", "501 5.5.4 syntax: QUIT",
          "501 5.5.4 syntax: VRFY address"}},
        {"NOOP a\0b\r\nNO\rOP\r\n\0\r\n"s,
         {"500 5.5.2 invalid character in command", "500 5.5.2 invalid character in command",
          "500 5.5.2 invalid character in command"}},
        {"RCPT TO:<a@y>\r\nDATA\r\nm\r\n.\r\n",
         kRecipient + kGoAhead + std::vector<std::string>{"250 2.0.0 a@y ok"}}},
       {delivered("s@x", {"a@y"}, "m\n")}},
      {"command lines up to 510 bytes; longer ones dropped whole",
       {lhlo(),
        {"NOOP " + std::string(505, 'x') + "\r\n", kOk},
        {"NOOP " + std::string(506, 'x') + "\r\n", {"500 5.5.2 line too long"}},
        {"NOOP " + std::string(506, 'x') + "\n", {"500 5.5.2 line too long"}},
        {std::string(512, 'x') + "QUIT\r\n", {"500 5.5.2 line too long"}},
        {std::string(200000, 'y') + "\r\nNOOP\r\n", {"500 5.5.2 line too long", "250 2.0.0 ok"}}},
       {}},
  };
}

class ConversationTest : public testing::TestWithParam<Conversation> {};

TEST_P(ConversationTest, RepliesAndDeliveries) {
  const Conversation& c = GetParam();
  RecordingHandler handler;
  handler.read_size = c.read_size;
  LmtpLimits limits;
  limits.max_recipients = c.max_recipients;
  {
    Client client(handler, limits);
    ASSERT_EQ(client.lines(1), std::vector<std::string>{"220 " + host() + " LMTP orveltd ready"});
    for (const Exchange& step : c.steps) {
      client.send(step.send);
      if (step.expect.empty()) std::this_thread::sleep_for(20ms);
      EXPECT_EQ(client.lines(step.expect.size()), step.expect)
          << "after " << testing::PrintToString(step.send.substr(0, 80));
    }
    if (c.ends) {
      EXPECT_TRUE(client.closed());
    } else {
      EXPECT_TRUE(client.lines(1, 100ms).empty()) << "unexpected " << client.unread();
    }
  }
  EXPECT_EQ(handler.deliveries, c.deliveries);
}

void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

std::vector<Conversation> conversations() {
  std::vector<Conversation> all = transactions();
  for (auto part : {envelopes(), errors()}) all.insert(all.end(), part.begin(), part.end());
  return all;
}

INSTANTIATE_TEST_SUITE_P(Lmtp, ConversationTest, testing::ValuesIn(conversations()),
                         [](const testing::TestParamInfo<Conversation>& info) {
                           std::string name;
                           for (const char ch : info.param.name) {
                             if (isalnum(static_cast<unsigned char>(ch))) name.push_back(ch);
                           }
                           return name;
                         });

// The replies go out exactly one per recipient, however many the handler
// gave, and each on one line.
TEST(LmtpReplies, OnePerRecipientEachOneLine) {
  const struct {
    std::vector<std::string> given;
    std::vector<std::string> sent;
  } cases[] = {
      {{"451 4.3.0 directory down"}, {"451 4.3.0 directory down", "451 4.3.0 no reply"}},
      {{"250 2.0.0 a", "250 2.0.0 b", "250 2.0.0 c"}, {"250 2.0.0 a", "250 2.0.0 b"}},
      {{"451 4.3.0 bad\r\n250 injected", ""},
       {"451 4.3.0 bad  250 injected", "451 4.3.0 no reply"}},
      {{"451 4.3.0 " + std::string(600, 'r'), "250 2.0.0 ok"},
       {"451 4.3.0 " + std::string(500, 'r'), "250 2.0.0 ok"}},
  };
  for (const auto& c : cases) {
    RecordingHandler handler;
    handler.replies = [&](const LmtpEnvelope&) { return c.given; };
    LmtpLimits limits;
    Client client(handler, limits);
    client.send(
        "LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nRCPT TO:<b@y>\r\nDATA\r\n.\r\nNOOP\r\n");
    const std::vector<std::string> lines = client.lines(1 + 5 + 4 + 2 + 1);
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.begin() + 12), c.sent);
    EXPECT_EQ(lines.back(), "250 2.0.0 ok");
  }
}

long max_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Bodies of any size pass through a handler that drops them, with the
// process's memory flat: the session holds no more than its buffers.
TEST(LmtpData, LargeBodiesPassWithFlatMemory) {
  for (const size_t megabytes : {1, 50}) {
    RecordingHandler handler;
    handler.keep_data = false;
    LmtpLimits limits;
    const long rss_before = max_rss_kib();
    const std::string line = std::string(998, 'm') + "\r\n";
    const size_t lines = megabytes * 1024 * 1024 / line.size();
    {
      Client client(handler, limits);
      std::thread writer([&] {
        client.send("LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n");
        std::string chunk;
        for (int i = 0; i < 64; ++i) chunk += line;
        for (size_t sent = 0; sent < lines; sent += 64) client.send(chunk);
        client.send(".\r\nQUIT\r\n");
      });
      const std::vector<std::string> replies = client.lines(1 + 5 + 3 + 1 + 1, 30000ms);
      writer.join();
      ASSERT_EQ(replies.size(), 11u);
      EXPECT_EQ(replies[9], "250 2.0.0 a@y ok");
    }
    ASSERT_EQ(handler.deliveries.size(), 1u);
    EXPECT_TRUE(handler.deliveries[0].complete);
    EXPECT_EQ(handler.deliveries[0].bytes, (lines + 63) / 64 * 64 * (line.size() - 1));
    EXPECT_LT(max_rss_kib() - rss_before, 8 * 1024) << megabytes << " MiB body";
  }
}

// A client that goes away within DATA: the handler sees an incomplete
// DATA, and nothing is written after the 354.
TEST(LmtpData, ClientGoneMidData) {
  RecordingHandler handler;
  LmtpLimits limits;
  Client client(handler, limits);
  client.send("LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\npart of\r\nthe mes");
  EXPECT_EQ(client.lines(9).back(), kGoAhead[0]);
  client.end_writing();
  EXPECT_TRUE(client.closed()) << "written: " << client.unread();
  client.join();
  ASSERT_EQ(handler.deliveries.size(), 1u);
  EXPECT_FALSE(handler.deliveries[0].complete);
  EXPECT_EQ(handler.deliveries[0].data, "part of\nthe mes");
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The idle timeout applies while a command is awaited, also one begun and
// trickled byte by byte; the DATA timeout to the whole DATA section, however
// steadily it trickles. Each ends the session with 421, on time.
TEST(LmtpTimeouts, EndTheSessionWith421) {
  const struct {
    const char* name;
    int idle;
    int data;
    std::vector<std::string> trickle;  // sent 300 ms apart
    const char* farewell;
    double earliest, latest;  // seconds
    bool incomplete_delivery;
  } cases[] = {
      {"idle", 1, 60, {}, "421 4.4.2 idle timeout", 0.9, 1.8, false},
      {"idle within a command line",
       1,
       60,
       {"N", "O", "O", "P", " "},
       "421 4.4.2 idle timeout",
       0.9,
       1.8,
       false},
      {"data",
       60,
       2,
       {"MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n", "a\r\n", "b\r\n", "c\r\n", "d\r\n", "e\r\n",
        "f\r\n", "g\r\n", "h\r\n", "i\r\n"},
       "421 4.4.2 DATA timeout",
       1.9,
       2.8,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHandler handler;
    LmtpLimits limits;
    limits.idle_timeout = c.idle;
    limits.data_timeout = c.data;
    Client client(handler, limits);
    client.send("LHLO c\r\n");
    ASSERT_EQ(client.lines(6).size(), 6u);
    const Clock::time_point start = Clock::now();
    std::thread trickler([&] {
      for (const std::string& piece : c.trickle) {
        client.send(piece);
        std::this_thread::sleep_for(300ms);
      }
    });
    const std::vector<std::string> lines = client.lines(c.incomplete_delivery ? 4 : 1);
    const double elapsed = seconds_since(start);
    trickler.join();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.farewell);
    EXPECT_TRUE(client.closed());
    EXPECT_GT(elapsed, c.earliest);
    EXPECT_LT(elapsed, c.latest);
    client.join();
    EXPECT_EQ(handler.deliveries.size(), c.incomplete_delivery ? 1u : 0u);
    if (c.incomplete_delivery) {
      EXPECT_FALSE(handler.deliveries[0].complete);
    }
  }
}

// A draining server ends idle sessions at once and others once their
// transaction is answered; past its grace it ends them at the next command,
// or within DATA without replies.
TEST(LmtpStop, SessionsEndWith421AtCommandBoundaries) {
  const struct {
    const char* name;
    bool now;
    std::string before;  // sent before the flag is set
    std::vector<std::string> before_replies;
    std::string after;
    std::vector<std::string> after_replies;
    size_t deliveries;
  } cases[] = {
      {"idle", false, "", {}, "", {"421 4.3.2 shutting down"}, 0},
      {"transaction finished first", false, "MAIL FROM:<s@x>\r\n", kSender,
       "RCPT TO:<a@y>\r\nDATA\r\nm\r\n.\r\nNOOP\r\n",
       kRecipient + kGoAhead +
           std::vector<std::string>{"250 2.0.0 a@y ok", "421 4.3.2 shutting down"},
       1},
      {"now, within a transaction",
       true,
       "MAIL FROM:<s@x>\r\n",
       kSender,
       "RCPT TO:<a@y>\r\n",
       {"421 4.3.2 shutting down"},
       0},
      {"now, within DATA",
       true,
       "MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\nm\r\n",
       kSender + kRecipient + kGoAhead,
       "",
       {"421 4.3.2 shutting down"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHandler handler;
    std::atomic<bool> stop = false;
    std::atomic<bool> stop_now = false;
    LmtpLimits limits;
    limits.stop = &stop;
    limits.stop_now = &stop_now;
    Client client(handler, limits);
    client.send("LHLO c\r\n" + c.before);
    EXPECT_EQ(client.lines(6 + c.before_replies.size()).size(), 6 + c.before_replies.size());
    const Clock::time_point start = Clock::now();
    stop = true;
    if (c.now) stop_now = true;
    client.send(c.after);
    EXPECT_EQ(client.lines(c.after_replies.size()), c.after_replies);
    EXPECT_TRUE(client.closed());
    EXPECT_LT(seconds_since(start), 1.0);
    client.join();
    EXPECT_EQ(handler.deliveries.size(), c.deliveries);
  }
}

// Driven a step at a time, a session never waits for its client: a line
// begun is kept for later, a DATA hands over the transaction, and a client
// that pipelines without reading holds further commands back until it has
// taken the replies queued, none lost.
TEST(LmtpSession, StepsNeverWait) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  const UniqueFd client(fds[0]);
  const UniqueFd server(fds[1]);
  LmtpSession session(server.get(), LmtpLimits{});
  session.greet();
  EXPECT_EQ(session.advance(), LmtpSession::Step::input);
  auto say = [&](const std::string& text) {
    ASSERT_EQ(write(client.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  say("LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nNO");
  EXPECT_EQ(session.advance(), LmtpSession::Step::input);
  EXPECT_TRUE(session.in_transaction());
  say("OP\r\nDATA\r\nm\r\n.\r\n");
  EXPECT_EQ(session.advance(), LmtpSession::Step::transaction);
  RecordingHandler handler;
  EXPECT_EQ(session.transaction(handler), LmtpSession::Step::input);
  ASSERT_EQ(handler.deliveries.size(), 1u);
  EXPECT_EQ(handler.deliveries[0].data, "m\n");
  EXPECT_FALSE(session.in_transaction());
  EXPECT_TRUE(session.send_now());
  std::string received;
  auto take = [&] {
    char chunk[65536];
    ssize_t got;
    while ((got = read(client.get(), chunk, sizeof chunk)) > 0) received.append(chunk, got);
  };
  take();
  EXPECT_TRUE(
      received.ends_with("250 2.0.0 ok\r\n354 go ahead, end with <CRLF>.<CRLF>\r\n"
                         "250 2.0.0 a@y ok\r\n"))
      << received;
  received.clear();

  std::string noops;
  for (int i = 0; i < 3000; ++i) noops += "NOOP\r\n";
  size_t sent = 0;
  size_t replies = 0;
  bool held_back = false;
  for (int round = 0; round < 1000 && replies < 3000; ++round) {
    if (sent < noops.size()) {
      const ssize_t n = write(client.get(), noops.data() + sent, noops.size() - sent);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    EXPECT_EQ(session.advance(), LmtpSession::Step::input);
    held_back = held_back || session.held_back();
    if (round > 2) {  // the client reads only now and then
      session.send_now();
      take();
    }
    replies = 0;
    for (size_t at = 0; (at = received.find("250 2.0.0 ok\r\n", at)) != std::string::npos; ++at) {
      ++replies;
    }
  }
  EXPECT_TRUE(held_back) << "replies were queued without bound";
  EXPECT_EQ(replies, 3000u);
}

}  // namespace

// A client that sends its whole conversation at once and then ends its
// writing still gets every reply: the end of its input is not the end of
// the replies owed for it.
TEST(LmtpSession, InputEndedStillGetsEveryReply) {
  RecordingHandler handler;
  const LmtpLimits limits;
  Client client(handler, limits);
  ASSERT_EQ(client.lines(1), std::vector<std::string>{"220 " + host() + " LMTP orveltd ready"});
  client.send("LHLO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\nm\r\n.\r\nNOOP\r\nno end");
  client.end_writing();
  std::vector<std::string> expected = lhlo_reply();
  for (const auto& part : {kSender, kRecipient, kGoAhead,
                           std::vector<std::string>{"250 2.0.0 a@y ok", "250 2.0.0 ok"}}) {
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(client.lines(expected.size()), expected);
  EXPECT_TRUE(client.closed());
  client.join();
  EXPECT_EQ(handler.deliveries.size(), 1u);
}
