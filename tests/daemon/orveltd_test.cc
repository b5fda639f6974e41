// orveltd at work over a real socket: the built server against a private
// directory, real block files (or Redis) and the recording MTA, answering
// each LMTP recipient as `orvelt -a <recipient>` answers the message.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
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
#include "util/unique_fd.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSender = "box@host";
constexpr const char* kReceiver = "away@site";
constexpr const char* kOk = "250 2.0.0 ok";

std::string message(const std::string& from = kSender, const std::string& to = kReceiver) {
  return "From: " + from + "\nTo: " + to + "\nSubject: Lunch?\n\nFree on Friday?\n";
}

// A free port on 127.0.0.1: bound by the kernel's choice, then released.
int free_port() {
  const UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0) return 0;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// Whether a process of group (a process group id) is alive: running, not
// a zombie.
bool group_alive(pid_t group) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool alive = false;
  while (const dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(text.substr(paren + 1));
    char state = '?';
    pid_t parent = 0;
    pid_t its_group = 0;
    if (fields >> state >> parent >> its_group && its_group == group && state != 'Z') alive = true;
  }
  closedir(proc);
  return alive;
}

// Whether some line of log ends with text at priority (a transaction's
// lines begin with its id).
size_t count_ending(const std::vector<LogRecord>& log, int priority, const std::string& text) {
  size_t count = 0;
  for (const LogRecord& record : log)
    count += record.priority == priority && record.text.ends_with(text);
  return count;
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
  // Starts orveltd on config, whose lmtp_listen is listen, an inet: one,
  // and waits until it listens.
  void start_tcp(const TestConfig& config, const std::string& listen) {
    daemon_ = std::make_unique<DaemonProcess>(
        DaemonStart{ORVELTD_BINARY, {"-c", config.write(dir_, "orveltd.cfg")}, {}, -1});
    ASSERT_TRUE(daemon_->wait_for_log("INFO/SYS listening on " + listen, 10s)) << daemon_->err();
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

// Connections that send nothing, or a byte now and then, hold no worker:
// a client that comes after 128 of them (with two workers) is answered at
// once.
TEST_F(OrveltdTest, IdleAndDrippingConnectionsLockNobodyOut) {
  RecordingMta mta;
  const int port = free_port();
  ASSERT_NE(port, 0);
  const std::string listen = "inet:127.0.0.1:" + std::to_string(port);
  start_tcp(config().set("lmtp_listen", listen).set("lmtp_peer_limit", "0"), listen);
  std::vector<LmtpClient> idle;
  std::vector<LmtpClient> dripping;
  for (int i = 0; i < 64; ++i) idle.push_back(LmtpClient::tcp("127.0.0.1", port));
  for (int i = 0; i < 64; ++i) dripping.push_back(LmtpClient::tcp("127.0.0.1", port));
  std::atomic<bool> done = false;
  std::thread drip([&] {
    while (!done) {
      for (LmtpClient& c : dripping) (void)!::send(c.fd(), "N", 1, MSG_NOSIGNAL);
      for (int i = 0; i < 20 && !done; ++i) usleep(100'000);
    }
  });
  usleep(2'500'000);  // each dripping connection has begun its line
  const auto begin = std::chrono::steady_clock::now();
  LmtpClient client = LmtpClient::tcp("127.0.0.1", port);
  client.hello();
  EXPECT_EQ(client.transaction(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
  done = true;
  drip.join();
  EXPECT_EQ(mta.calls().size(), 1u);
  for (LmtpClient& c : idle) EXPECT_EQ(c.line(1s).substr(0, 4), "220 ");
}

// On TCP a remote address holds at most lmtp_peer_limit connections at
// once; another address is not affected, and a connection that ends makes
// room. A unix socket's peer (the MTA) is not counted.
TEST_F(OrveltdTest, ConnectionsPerRemoteAddressAreBounded) {
  RecordingMta mta;
  const int port = free_port();
  ASSERT_NE(port, 0);
  const std::string listen = "inet:127.0.0.1:" + std::to_string(port);
  start_tcp(config().set("lmtp_listen", listen).set("lmtp_peer_limit", "4"), listen);
  std::vector<LmtpClient> four;
  for (int i = 0; i < 4; ++i) {
    four.push_back(LmtpClient::tcp("127.0.0.1", port, "127.0.0.1"));
    EXPECT_EQ(four.back().line().substr(0, 4), "220 ");
  }
  LmtpClient fifth = LmtpClient::tcp("127.0.0.1", port, "127.0.0.1");
  EXPECT_EQ(fifth.line(), "421 4.7.0 too many connections from 127.0.0.1");
  EXPECT_TRUE(fifth.closed());
  LmtpClient other = LmtpClient::tcp("127.0.0.1", port, "127.0.0.2");
  other.hello();
  EXPECT_EQ(other.transaction(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  four[0].send("QUIT\r\n");
  EXPECT_EQ(four[0].line().substr(0, 4), "221 ");
  EXPECT_TRUE(four[0].closed());
  usleep(200'000);
  LmtpClient again = LmtpClient::tcp("127.0.0.1", port, "127.0.0.1");
  EXPECT_EQ(again.line().substr(0, 4), "220 ");

  start(config().set("lmtp_peer_limit", "1"));
  LmtpClient first = connected();
  LmtpClient second = connected();
  EXPECT_EQ(second.transaction(kSender, {"other@site"}, message()), std::vector<std::string>{kOk});
}

// A stop that runs out of time while an MTA hangs: the MTA's process group
// is killed, its reply's claim withdrawn, the recipients answered 451 (the
// second never tried), and orveltd ends with failstatus. The message tried
// again is answered once.
TEST_F(OrveltdTest, StopThatRunsOutOfTimeKillsTheMtaAndWithdrawsItsClaim) {
  RecordingMta mta;
  const std::string group_file = dir_.file("mta-group");
  start(config()
            .set("mtatimeout", "300")
            .set("mta", script_mta("echo $$ > " + group_file + ".new\nmv " + group_file + ".new " +
                                   group_file + "\nsleep 120\nexec $record\n")));
  LmtpClient client = connected();
  LmtpClient idle = connected();
  client.send("MAIL FROM:<box@host>\r\nRCPT TO:<away@site>\r\nRCPT TO:<other@site>\r\nDATA\r\n" +
              lmtp_data(message()));
  for (int i = 0; i < 100 && access(group_file.c_str(), F_OK) != 0; ++i) usleep(100'000);
  pid_t group = 0;
  std::ifstream(group_file) >> group;
  ASSERT_GT(group, 0) << "the MTA never started";
  ASSERT_TRUE(group_alive(group));
  daemon_->signal(SIGTERM);
  EXPECT_EQ(idle.line(), "421 4.3.2 shutting down");
  for (int i = 0; i < 4; ++i) client.line();  // MAIL, RCPT, RCPT, DATA
  EXPECT_EQ(client.line(40s), "451 4.3.2 shutting down");
  EXPECT_EQ(client.line(1s), "451 4.3.2 shutting down");
  EXPECT_EQ(client.line(5s), "421 4.3.2 shutting down");
  EXPECT_EQ(daemon_->wait_exit(15s), 75);
  for (int i = 0; i < 20 && group_alive(group); ++i) usleep(100'000);
  EXPECT_FALSE(group_alive(group)) << "the MTA outlived orveltd";
  EXPECT_FALSE(blocked(kReceiver, kSender));
  const std::vector<LogRecord> log = daemon_->log();
  EXPECT_EQ(count_ending(log, LOG_ERR, ": CRIT/SYS stopped by SIGTERM"), 1u);
  EXPECT_TRUE(
      logged(log, LOG_WARNING, "WARN/SYS sessions still running at the end of the stop: ended"));
  EXPECT_TRUE(mta.calls().empty());

  start(config());
  EXPECT_EQ(deliver(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  EXPECT_EQ(deliver(kSender, {kReceiver}, message()), std::vector<std::string>{kOk});
  EXPECT_EQ(mta.calls().size(), 1u);
}

// One MTA that timed out is enough: the recipients after it are answered
// 451 at once, untried, each logged; their claims are never made.
TEST_F(OrveltdTest, AfterAnMtaTimeOutTheOtherRecipientsAreNotTried) {
  const std::string starts = dir_.file("mta-starts");
  start(
      config().set("mtatimeout", "2").set("mta", script_mta("echo >> " + starts + "\nsleep 60\n")));
  const auto begin = std::chrono::steady_clock::now();
  const std::vector<std::string> replies =
      deliver(kSender, {kReceiver, "other@site", "nobody@site"}, message());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 3500ms);
  const std::string not_tried =
      "WARN/MAIL MTA failed (not tried after a time-out): reply to box@host not recorded";
  EXPECT_EQ(replies,
            (std::vector<std::string>{
                "451 4.3.0 WARN/MAIL MTA failed (timed out): reply to box@host not recorded",
                "451 4.3.0 " + not_tried, "451 4.3.0 " + not_tried}));
  std::ifstream started(starts);
  std::string line;
  size_t count = 0;
  while (std::getline(started, line)) ++count;
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(blocked(kReceiver, kSender));
  EXPECT_FALSE(blocked("other@site", kSender));
  EXPECT_EQ(count_ending(daemon_->log(), LOG_ERR, ": " + not_tried), 2u);
}

}  // namespace
