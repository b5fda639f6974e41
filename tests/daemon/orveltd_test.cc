// orveltd at work over a real socket: the built server against a private
// directory, real block files (or Redis) and the recording MTA, answering
// each LMTP recipient as `orvelt -a <recipient>` answers the message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_process.h"
#include "support/gdbm_file.h"
#include "support/lmtp_client.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/redis_server.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSender = "box@host";
constexpr const char* kReceiver = "away@site";
constexpr const char* kOk = "250 2.0.0 ok";

std::string message(const std::string& from = kSender, const std::string& to = kReceiver) {
  return "From: " + from + "\nTo: " + to + "\nSubject: Lunch?\n\nFree on Friday?\n";
}

class OrveltdTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }
  // In a sanitizer build, a finding of the server's shows in its output.
  void TearDown() override {
    if (daemon_ == nullptr) return;
    const std::string err = daemon_->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  TestConfig config() const {
    return TestConfig(server_, blockdir_)
        .set("failstatus", "75")
        .set("lmtp_listen", "unix:" + socket_)
        .set("lmtp_workers", "2");
  }
  // Starts orveltd on config and waits until it accepts.
  void start(const TestConfig& config) {
    daemon_ = std::make_unique<DaemonProcess>(
        DaemonStart{ORVELTD_BINARY, {"-c", config.write(dir_, "orveltd.cfg")}, {}, -1});
    ASSERT_TRUE(wait_listening(socket_, 10s)) << daemon_->err();
  }
  LmtpClient connected() {
    LmtpClient client = LmtpClient::unix_socket(socket_);
    client.hello();
    return client;
  }
  // One transaction on a connection of its own.
  std::vector<std::string> deliver(const std::string& sender,
                                   const std::vector<std::string>& recipients,
                                   const std::string& text) {
    LmtpClient client = connected();
    return client.transaction(sender, recipients, text);
  }
  bool blocked(const std::string& receiver, const std::string& sender) const {
    return gdbm_holds(blockdir_ + "/" + receiver, sender);
  }
  // A stand-in MTA running lines, with $record the recording MTA given
  // orveltd's arguments.
  std::string script_mta(const std::string& lines) const {
    const std::string path =
        dir_.write("mta.sh", "#!/bin/sh\nrecord=\"" + RecordingMta::program() + " $*\"\n" + lines);
    EXPECT_EQ(chmod(path.c_str(), 0755), 0);
    return path + " -f <> $sender";
  }

  SlapdServer server_{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}) +
      ldif_person("other", "other@site", "TRUE", {"Other is away.\n"}))};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
  std::string socket_ = dir_.file("lmtp");
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(OrveltdTest, EachRecipientIsAnsweredAsOrveltWouldThenTheRepeatIsBlocked) {
  RecordingMta mta;
  start(config());
  EXPECT_EQ(deliver(kSender, {kReceiver, "nobody@site"}, message()),
            (std::vector<std::string>{kOk, kOk}));
  std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{RecordingMta::program(), "-f", "<>", kSender}));
  EXPECT_EQ(calls[0].stdin_text, "I am away.\n");
  EXPECT_TRUE(blocked(kReceiver, kSender));

  EXPECT_EQ(deliver(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  EXPECT_EQ(mta.calls().size(), 1u) << "the repeat was answered";

  // Every line of a transaction carries its id; two transactions, two ids.
  std::set<std::string> ids;
  bool saw_blocked = false;
  for (const LogRecord& record : daemon_->log()) {
    if (record.text.find("/MAIL ") == std::string::npos) continue;
    const std::string id = record.text.substr(0, 6);
    ASSERT_TRUE(record.text.size() > 8 && record.text.compare(6, 2, ": ") == 0 &&
                id.find_first_not_of("0123456789abcdef") == std::string::npos)
        << record.text;
    ids.insert(id);
    saw_blocked |= record.text.substr(8) == "DEBUG/MAIL blocked: box@host & away@site";
  }
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_TRUE(saw_blocked);
}

// Workers answering at once keep apart what each message says: every
// reply goes to its own sender with its own receiver's text.
TEST_F(OrveltdTest, ConcurrentTransactionsKeepTheirMessagesApart) {
  RecordingMta mta;
  start(config()
            .set("lmtp_workers", "4")
            .set("forceheader", dir_.write("header", "To: $sender\nX-For: $recepient\n\n")));
  constexpr int kClients = 4;
  constexpr int kMessages = 5;
  std::vector<std::thread> clients;
  std::vector<std::vector<std::string>> replies(kClients);
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      LmtpClient client = connected();
      for (int m = 0; m < kMessages; ++m) {
        const std::string sender = "s" + std::to_string(c) + "-" + std::to_string(m) + "@host";
        const std::string receiver = m % 2 == 0 ? kReceiver : "other@site";
        for (const std::string& reply :
             client.transaction(sender, {receiver}, message(sender, receiver))) {
          replies[c].push_back(reply);
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  for (const std::vector<std::string>& each : replies) {
    EXPECT_EQ(each, std::vector<std::string>(kMessages, kOk));
  }
  const std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), static_cast<size_t>(kClients * kMessages));
  for (const MtaCall& call : calls) {
    const std::string& sender = call.argv.back();
    const int m = sender[3] - '0';
    const std::string receiver = m % 2 == 0 ? kReceiver : "other@site";
    const std::string text = m % 2 == 0 ? "I am away.\n" : "Other is away.\n";
    EXPECT_EQ(call.stdin_text, "To: " + sender + "\nX-For: " + receiver + "\n\n" + text);
  }
}

// Workers opening encrypted directory sessions at once, each binding with
// the configured account, each message answered; the sessions are kept:
// no more binds than workers.
TEST(OrveltdTlsTest, ConcurrentWorkersOpenTheirOwnEncryptedSessions) {
  const SlapdServer server(
      SlapdOptions()
          .tls()
          .user(kBindDn, kBindPassword)
          .entries(ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"})));
  TempDir dir;
  const std::string blockdir = dir.file("block");
  ASSERT_EQ(mkdir(blockdir.c_str(), 0700), 0);
  const std::string socket = dir.file("lmtp");
  RecordingMta mta;
  const size_t mark = server.log_mark();
  const TestConfig config = TestConfig(server, blockdir)
                                .set("lmtp_listen", "unix:" + socket)
                                .set("lmtp_workers", "3")
                                .set("tls", "starttls")
                                .set("tls_cacert", server.ca_file())
                                .set("login", kBindDn)
                                .set("password", kBindPassword);
  DaemonProcess daemon({ORVELTD_BINARY, {"-c", config.write(dir)}, {}, -1});
  ASSERT_TRUE(wait_listening(socket, 10s)) << daemon.err();
  std::vector<std::thread> clients;
  std::vector<std::vector<std::string>> replies(3);
  for (int c = 0; c < 3; ++c) {
    clients.emplace_back([&, c] {
      LmtpClient client = LmtpClient::unix_socket(socket);
      client.hello();
      for (int m = 0; m < 3; ++m) {
        const std::string sender = "s" + std::to_string(c) + std::to_string(m) + "@host";
        replies[c].push_back(client.transaction(sender, {kReceiver}, message(sender)).at(0));
      }
    });
  }
  for (std::thread& client : clients) client.join();
  for (const std::vector<std::string>& each : replies) {
    EXPECT_EQ(each, std::vector<std::string>(3, kOk));
  }
  EXPECT_EQ(mta.calls().size(), 9u);
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(10s), 0);
  const std::vector<SlapdBind> binds = server.binds_since(mark);
  EXPECT_GE(binds.size(), 1u);
  EXPECT_LE(binds.size(), 3u);
  for (const SlapdBind& bind : binds) {
    EXPECT_EQ(bind, (SlapdBind{3, kBindDn, 0, true}));
  }
  EXPECT_EQ(daemon.err().find("Sanitizer"), std::string::npos) << daemon.err();
}

TEST_F(OrveltdTest, RecipientsAreTheirOwnReceiversWithOrcptAndTheNullSender) {
  RecordingMta mta;
  start(config().set("rfc3834", "yes"));
  LmtpClient client = connected();
  // The routing address would match no entry: ORCPT names the receiver.
  client.send("MAIL FROM:<" + std::string(kSender) +
              ">\r\nRCPT TO:<orvelt+away@relay.site> ORCPT=rfc822;" + kReceiver +
              "\r\nRCPT TO:<other@site>\r\nDATA\r\n" + lmtp_data(message(kSender, "someone@else")));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.line().substr(0, 1), "2");
  EXPECT_EQ(client.line().substr(0, 3), "354");
  EXPECT_EQ(client.line(), kOk);
  EXPECT_EQ(client.line(), kOk);
  EXPECT_EQ(mta.calls().size(), 2u);
  EXPECT_TRUE(blocked(kReceiver, kSender));
  EXPECT_TRUE(blocked("other@site", kSender));

  // A bounce (null sender) is not answered under rfc3834, as with -s '<>'.
  EXPECT_EQ(client.transaction("", {kReceiver}, message("MAILER-DAEMON@host")),
            std::vector<std::string>{kOk});
  EXPECT_EQ(mta.calls().size(), 2u);
}

TEST_F(OrveltdTest, PipelinedConversationIsAnsweredInOrder) {
  RecordingMta mta;
  start(config());
  LmtpClient client = LmtpClient::unix_socket(socket_);
  client.send("LHLO client.test\r\nMAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nDATA\r\n" +
              lmtp_data(message()) + "NOOP\r\nRSET\r\nQUIT\r\n");
  EXPECT_EQ(client.line().substr(0, 4), "220 ");
  const std::vector<std::string> hello = client.reply();
  EXPECT_EQ(hello.back().substr(0, 4), "250 ");
  for (const char* expected : {"250", "250", "354"}) {
    EXPECT_EQ(client.line().substr(0, 3), expected);
  }
  EXPECT_EQ(client.line(), kOk);
  EXPECT_EQ(client.line().substr(0, 3), "250");  // NOOP
  EXPECT_EQ(client.line().substr(0, 3), "250");  // RSET
  EXPECT_EQ(client.line().substr(0, 3), "221");
  EXPECT_TRUE(client.closed());
  EXPECT_EQ(mta.calls().size(), 1u);
}

// The peak memory of a process, from /proc (VmHWM, in KiB).
long peak_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A message of any size is answered with flat memory: the body is read
// and dropped as it comes.
TEST_F(OrveltdTest, HugeMessageIsAnsweredWithFlatMemory) {
  RecordingMta mta;
  start(config());
  EXPECT_EQ(deliver(kSender, {"nobody@site"}, message()), std::vector<std::string>{kOk});
  const long before = peak_kib(daemon_->pid());
  ASSERT_GT(before, 0);
  std::string line(999, 'x');
  line += '\n';
  std::string body;
  for (int i = 0; i < 1024; ++i) body += line;  // 1 MiB
  LmtpClient client = connected();
  client.send("MAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nDATA\r\n");
  for (int i = 0; i < 3; ++i) client.line();
  client.send(lmtp_data(message()).substr(0, lmtp_data(message()).size() - 3));
  const std::string chunk = lmtp_data(body).substr(0, lmtp_data(body).size() - 3);
  for (int i = 0; i < 64; ++i) client.send(chunk);
  client.send(".\r\n");
  EXPECT_EQ(client.line(60s), kOk);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_LT(peak_kib(daemon_->pid()) - before, 8 * 1024) << "64 MiB body held in memory";
}

TEST_F(OrveltdTest, ErrorsAnswerAndTheConnectionGoesOn) {
  RecordingMta mta;
  start(config());
  LmtpClient client = connected();
  for (const auto& [command, code] : {std::pair{"FROB\r\n", "500"},
                                      {"MAIL FROM:box@host\r\n", "501"},
                                      {"RCPT TO:<away@site>\r\n", "503"},
                                      {"DATA\r\n", "503"},
                                      {"HELO client.test\r\n", "500"}}) {
    SCOPED_TRACE(command);
    client.send(command);
    EXPECT_EQ(client.line().substr(0, 3), code);
  }
  EXPECT_EQ(client.transaction(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  EXPECT_EQ(mta.calls().size(), 1u);
}

TEST_F(OrveltdTest, ClientGoneMidDataIsNotAnswered) {
  RecordingMta mta;
  start(config());
  {
    LmtpClient client = connected();
    client.send("MAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nDATA\r\n");
    for (int i = 0; i < 3; ++i) client.line();
    client.send("From: box@host\r\nTo: away@site\r\nSubject: cut\r\n\r\nhalf a mes");
  }  // gone
  // The server goes on; the message was neither answered nor recorded.
  EXPECT_EQ(deliver("late@host", {"other@site"}, message("late@host", "other@site")),
            std::vector<std::string>{kOk});
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, "Other is away.\n");
  EXPECT_FALSE(blocked(kReceiver, kSender));
}

TEST_F(OrveltdTest, IdleClientAndSlowDataAreTimedOut) {
  RecordingMta mta;
  start(config().set("lmtp_timeout", "1").set("lmtp_data_timeout", "2"));
  LmtpClient idle = connected();
  LmtpClient slow = connected();
  slow.send("MAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nDATA\r\n");
  for (int i = 0; i < 3; ++i) slow.line();
  const auto begin = std::chrono::steady_clock::now();
  // Each part of the DATA comes within the idle time, the whole does not.
  for (int i = 0; i < 3; ++i) {
    slow.send("line " + std::to_string(i) + "\r\n");
    usleep(700'000);
  }
  EXPECT_EQ(idle.line(5s).substr(0, 4), "421 ");
  EXPECT_TRUE(idle.closed(5s));
  EXPECT_EQ(slow.line(5s).substr(0, 4), "421 ");
  EXPECT_TRUE(slow.closed(5s));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_TRUE(mta.calls().empty());
}

TEST_F(OrveltdTest, DirectoryOutageIsRetriedAndTheServerRecoversWithoutARestart) {
  RecordingMta mta;
  start(config());
  EXPECT_EQ(deliver(kSender, {"nobody@site"}, message()), std::vector<std::string>{kOk});
  server_.stop();  // answers nothing: the search times out
  const std::vector<std::string> failed = deliver(kSender, {kReceiver, "other@site"}, message());
  server_.cont();
  // The failure of the first recipient's lookup holds for the second too.
  EXPECT_EQ(failed, (std::vector<std::string>{"451 4.3.0 CRIT/LDAP Timed out",
                                              "451 4.3.0 CRIT/LDAP Timed out"}));
  bool logged_once = false;
  for (const LogRecord& record : daemon_->log()) {
    if (record.priority == LOG_ERR && record.text.ends_with(": CRIT/LDAP Timed out")) {
      EXPECT_FALSE(logged_once) << "logged twice in one transaction";
      logged_once = true;
    }
  }
  EXPECT_TRUE(logged_once);
  EXPECT_TRUE(mta.calls().empty());
  EXPECT_EQ(deliver(kSender, {kReceiver, "other@site"}, message()),
            (std::vector<std::string>{kOk, kOk}));
  EXPECT_EQ(mta.calls().size(), 2u);
}

TEST_F(OrveltdTest, RedisOutageIsRetriedAndTheServerRecoversWithoutARestart) {
  RedisServer redis;
  RecordingMta mta;
  start(config().set("blockstore", redis.url()));
  redis.stop();
  const std::vector<std::string> failed = deliver(kSender, {kReceiver}, message());
  redis.cont();
  EXPECT_EQ(failed, std::vector<std::string>{"451 4.3.0 CRIT/IO blockstore: no server usable"});
  EXPECT_TRUE(mta.calls().empty());
  // Another sender, as the stalled server applies the first claim late.
  EXPECT_EQ(deliver("next@host", {kReceiver}, message("next@host")), std::vector<std::string>{kOk});
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].argv.back(), "next@host");
}

TEST_F(OrveltdTest, MtaFailureIsRetriedAndItsClaimWithdrawn) {
  RecordingMta mta(MtaBehaviour{75, true});
  start(config());
  const std::vector<std::string> replies = deliver(kSender, {kReceiver, "other@site"}, message());
  ASSERT_EQ(replies.size(), 2u);
  for (const std::string& reply : replies) {
    EXPECT_EQ(reply.rfind("451 4.3.0 WARN/MAIL MTA failed (", 0), 0u) << reply;
  }
  EXPECT_EQ(mta.calls().size(), 2u);
  EXPECT_FALSE(blocked(kReceiver, kSender));
  EXPECT_FALSE(blocked("other@site", kSender));
}

TEST_F(OrveltdTest, HangupRereadsTheFrameFiles) {
  RecordingMta mta;
  const std::string header = dir_.write("header", "To: $sender\nX-Frame: first\n\n");
  start(config().set("forceheader", header));
  EXPECT_EQ(deliver("a@host", {kReceiver}, message("a@host")), std::vector<std::string>{kOk});
  dir_.write("header", "To: $sender\nX-Frame: second\n\n");
  daemon_->signal(SIGHUP);
  ASSERT_TRUE(daemon_->wait_for_log("INFO/SYS configuration reloaded", 5s));
  EXPECT_EQ(deliver("b@host", {kReceiver}, message("b@host")), std::vector<std::string>{kOk});
  const std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].stdin_text, "To: a@host\nX-Frame: first\n\nI am away.\n");
  EXPECT_EQ(calls[1].stdin_text, "To: b@host\nX-Frame: second\n\nI am away.\n");
}

TEST_F(OrveltdTest, TermLetsTheTransactionInFlightFinish) {
  RecordingMta mta;
  const std::string started = dir_.file("mta-started");
  start(config().set("mta", script_mta("touch " + started + "\nsleep 2\nexec $record\n")));
  LmtpClient client = connected();
  LmtpClient idle = connected();
  client.send("MAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nDATA\r\n" + lmtp_data(message()));
  for (int i = 0; i < 50 && access(started.c_str(), F_OK) != 0; ++i) usleep(100'000);
  ASSERT_EQ(access(started.c_str(), F_OK), 0) << "the MTA never started";
  daemon_->signal(SIGTERM);
  EXPECT_EQ(idle.line(), "421 4.3.2 shutting down");
  EXPECT_TRUE(idle.closed());
  for (int i = 0; i < 3; ++i) client.line();
  EXPECT_EQ(client.line(), kOk);
  EXPECT_EQ(client.line().substr(0, 4), "421 ");
  EXPECT_EQ(daemon_->wait_exit(10s), 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_TRUE(blocked(kReceiver, kSender));
}

// The MTA starts as a program normally does: the signals the server keeps
// for its main thread are not blocked in it. (The MTA here is grep, which
// writes its own mask to the server's output; a shell would clear it.)
TEST_F(OrveltdTest, TheMtaStartsWithTheStopSignalsUnblocked) {
  start(config().set("mta", "/bin/grep SigBlk /proc/self/status"));
  deliver(kSender, {kReceiver}, message());
  std::istringstream out(daemon_->err());
  std::string label, mask;
  out >> label >> mask;
  ASSERT_EQ(label, "SigBlk:") << daemon_->err();
  const unsigned long long blocked_signals = std::stoull(mask, nullptr, 16);
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    EXPECT_EQ(blocked_signals & (1ULL << (signal - 1)), 0u) << "signal " << signal;
  }
}

// orvelt, run by the MTA for one copy, and orveltd, given another copy over
// LMTP, at the same moment for the same receiver and sender: one reply.
TEST_F(OrveltdTest, OrveltAndOrveltdAtOnceOnOneBlockFileReplyOnce) {
  RecordingMta mta;
  const TestConfig both = config().set("mta", script_mta("sleep 0.5\nexec $record\n"));
  start(both);
  const std::string orvelt_config = both.write(dir_, "orvelt.cfg");
  std::vector<std::string> replies;
  std::thread lmtp([&] { replies = deliver(kSender, {kReceiver}, message()); });
  ProgramRun run;
  run.args = {"-c", orvelt_config, "-a", kReceiver};
  run.stdin_text = message();
  const ProgramResult direct = run_program(run);
  lmtp.join();
  EXPECT_EQ(mta.calls().size(), 1u);
  ASSERT_EQ(replies.size(), 1u);
  // Whichever came second found the other's claim: blocked, or deferred
  // while it was still pending.
  EXPECT_TRUE(replies[0] == kOk || replies[0].rfind("451 4.3.0 WARN/MAIL reply to ", 0) == 0)
      << replies[0];
  EXPECT_TRUE(direct.exit_status == 0 || direct.exit_status == 75) << direct.err;
  EXPECT_TRUE(blocked(kReceiver, kSender));
}

}  // namespace
