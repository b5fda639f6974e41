// orveltd's listener, workers and signals, driven from outside over real
// sockets: where it listens (a unix socket with its mode, a stale socket
// file, a file that is no socket, TCP, a socket from systemd), every
// connection answered at once while transactions beyond the workers wait
// their turn, SIGHUP reloading the configuration, SIGTERM letting the
// transactions in flight finish and cutting short what outlasts its limit.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "support/daemon_process.h"
#include "support/lmtp_client.h"
#include "support/log_capture.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "util/unique_fd.h"

namespace {

using namespace std::chrono_literals;

constexpr int kFailStatus = 75;

// The greeting came.
bool greets(LmtpClient& c) { return c.line().substr(0, 4) == "220 "; }

class DaemonServerTest : public testing::Test {
 protected:
  // A configuration with lmtp_listen on the test's socket and lines on top.
  std::string config(const std::string& lines = "") const {
    return dir_.write("orveltd.cfg", "base dc=first\nfailstatus " + std::to_string(kFailStatus) +
                                         "\nlmtp_listen unix:" + socket_ + "\n" + lines);
  }
  DaemonStart start(const std::string& config_path) const {
    return DaemonStart{STANDIN_DAEMON, {"-c", config_path}, {}, -1};
  }
  // Starts the server and waits until it accepts.
  std::unique_ptr<DaemonProcess> started(const std::string& lines = "") {
    auto daemon = std::make_unique<DaemonProcess>(start(config(lines)));
    EXPECT_TRUE(wait_listening(socket_, 10s)) << daemon->err();
    return daemon;
  }
  LmtpClient client() const { return LmtpClient::unix_socket(socket_); }
  // A client greeted, with its transaction whose message is command sent
  // and its DATA section ended; its reply is what comes next.
  LmtpClient begun(const std::string& command) const {
    LmtpClient c = client();
    c.hello();
    begin(c, command);
    return c;
  }
  // The next transaction of a client greeted.
  static void begin(LmtpClient& c, const std::string& command) {
    c.send("MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\n" + command +
           "\r\n.\r\n");
    EXPECT_EQ(c.line(), "250 2.1.0 sender ok");
    EXPECT_EQ(c.line(), "250 2.1.5 recipient ok");
    EXPECT_EQ(c.line().substr(0, 4), "354 ");
  }

  TempDir dir_;
  std::string socket_ = dir_.file("lmtp");
};

TEST_F(DaemonServerTest, UnixSocketGetsItsModeAndServes) {
  for (const auto& [mode, expected] :
       {std::pair{"", 0660}, {"lmtp_socket_mode 0600\n", 0600}, {"lmtp_socket_mode 666\n", 0666}}) {
    SCOPED_TRACE(mode);
    const mode_t old_mask = umask(077);  // the mode is set, not narrowed by the umask
    auto daemon = started(mode);
    umask(old_mask);
    struct stat status;
    ASSERT_EQ(lstat(socket_.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, static_cast<mode_t>(expected));
    LmtpClient c = client();
    EXPECT_TRUE(greets(c));
    c.send("QUIT\r\n");
    EXPECT_EQ(c.line().substr(0, 4), "221 ");
    EXPECT_TRUE(daemon->wait_for_log("INFO/SYS listening on unix:" + socket_, 5s));
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait_exit(10s), 0);
  }
}

TEST_F(DaemonServerTest, StaleSocketFileIsReplaced) {
  {
    // A socket file whose server is gone: bound, never listened on, closed.
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, socket_.c_str());
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  auto daemon = started();
  LmtpClient c = client();
  EXPECT_TRUE(greets(c));
}

TEST_F(DaemonServerTest, StartFailsWithoutTouchingWhatIsNoStaleSocket) {
  // A regular file at the path is never removed; a live server's socket is
  // not taken over.
  dir_.write("lmtp", "keep me");
  DaemonProcess daemon(start(config()));
  EXPECT_EQ(daemon.wait_exit(10s), kFailStatus);
  EXPECT_TRUE(logged(daemon.log(), LOG_ERR, "CRIT/IO " + socket_ + ": exists and is not a socket"));
  EXPECT_EQ(read_file(socket_), "keep me");

  ASSERT_EQ(unlink(socket_.c_str()), 0);
  auto first = started();
  DaemonProcess second(start(config()));
  EXPECT_EQ(second.wait_exit(10s), kFailStatus);
  EXPECT_TRUE(
      logged(second.log(), LOG_ERR, "CRIT/IO " + socket_ + ": another server listens here"));
  LmtpClient c = client();
  EXPECT_TRUE(greets(c));
}

TEST_F(DaemonServerTest, BadListenValuesStopTheStart) {
  for (const std::string value :
       {"tcp:127.0.0.1:24", "inet:127.0.0.1", "inet:::1:24", "unix:", "inet:[::1:24"}) {
    SCOPED_TRACE(value);
    DaemonProcess daemon(start(config("lmtp_listen " + value + "\n")));
    EXPECT_EQ(daemon.wait_exit(10s), kFailStatus);
    EXPECT_TRUE(logged_start(daemon.log(), LOG_ERR, "CRIT/CFG lmtp_listen " + value + ": "));
    EXPECT_NE(daemon.err().find("orvelt: CRIT/CFG lmtp_listen " + value + ": "), std::string::npos);
  }
}

TEST_F(DaemonServerTest, UnreadableConfigurationStopsTheStart) {
  DaemonProcess daemon(start(dir_.file("missing.cfg")));
  const std::optional<int> status = daemon.wait_exit(10s);
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
  EXPECT_TRUE(logged(daemon.log(), LOG_ERR,
                     "CRIT/IO " + dir_.file("missing.cfg") + ": No such file or directory"));
}

// A free loopback port: bound by the kernel's choice, then released.
int free_port(int family) {
  UniqueFd fd(socket(family, SOCK_STREAM, 0));
  sockaddr_storage storage{};
  socklen_t size = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  storage.ss_family = static_cast<sa_family_t>(family);
  if (family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr = in6addr_loopback;
  } else {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), size) != 0) return 0;
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &size);
  return ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

TEST_F(DaemonServerTest, ListensOnTcpForIpv4AndIpv6) {
  for (const auto& [family, host, written] :
       {std::tuple{AF_INET, "127.0.0.1", "127.0.0.1"}, {AF_INET6, "::1", "[::1]"}}) {
    SCOPED_TRACE(host);
    const int port = free_port(family);
    if (port == 0) {
      GTEST_LOG_(INFO) << "no loopback for " << host << " here";
      continue;
    }
    const std::string listen = std::string("inet:") + written + ":" + std::to_string(port);
    DaemonProcess daemon(start(config("lmtp_listen " + listen + "\n")));
    ASSERT_TRUE(daemon.wait_for_log("INFO/SYS listening on " + listen, 10s)) << daemon.err();
    LmtpClient c = LmtpClient::tcp(host, port);
    EXPECT_TRUE(greets(c));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(10s), 0);
  }
}

TEST_F(DaemonServerTest, SocketFromSystemdIsUsedInsteadOfListen) {
  const std::string handed = dir_.file("activated");
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, handed.c_str());
  ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd.get(), 8), 0);
  DaemonStart with_socket = start(config());
  with_socket.listen_fd = fd.get();
  DaemonProcess daemon(with_socket);
  LmtpClient c = LmtpClient::unix_socket(handed);
  EXPECT_TRUE(greets(c));
  struct stat status;
  EXPECT_NE(lstat(socket_.c_str(), &status), 0) << "lmtp_listen was made as well";

  // LISTEN_PID of another process: the socket is not ours to take.
  DaemonStart foreign = start(config());
  foreign.env = {"LISTEN_FDS=1", "LISTEN_PID=1"};
  DaemonProcess listening(foreign);
  EXPECT_TRUE(wait_listening(socket_, 10s)) << listening.err();
  EXPECT_FALSE(logged_start(listening.log(), LOG_WARNING, "WARN/SYS systemd"));
}

TEST_F(DaemonServerTest, MoreThanOneSocketFromSystemdIsNotGuessedAt) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  DaemonStart with_sockets = start(config());
  with_sockets.listen_fd = fd.get();
  with_sockets.listen_fds = "2";
  DaemonProcess daemon(with_sockets);
  EXPECT_TRUE(wait_listening(socket_, 10s)) << daemon.err();
  EXPECT_TRUE(logged(daemon.log(), LOG_WARNING,
                     "WARN/SYS systemd passed 2 sockets, not one: lmtp_listen used"));
}

TEST_F(DaemonServerTest, ASocketFromSystemdThatDoesNotListenStopsTheStart) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  DaemonStart with_socket = start(config());
  with_socket.listen_fd = fd.get();
  DaemonProcess daemon(with_socket);
  EXPECT_EQ(daemon.wait_exit(10s), kFailStatus);
  EXPECT_TRUE(logged(daemon.log(), LOG_ERR, "CRIT/SYS socket from systemd: not listening"));
}

// Every connection is greeted and its commands answered at once, however
// busy the workers are; its transaction waits for a worker.
TEST_F(DaemonServerTest, TransactionsBeyondTheWorkersWaitTheirTurn) {
  auto daemon = started("lmtp_workers 1\n");
  LmtpClient first = begun("SLEEP 2");
  LmtpClient second = client();
  EXPECT_EQ(second.line(500ms).substr(0, 4), "220 ") << "not greeted while the worker is busy";
  second.send("LHLO client.test\r\n");
  EXPECT_EQ(second.reply(500ms).back(), "250 DSN");
  second.send("MAIL FROM:<s@example.org>\r\nRCPT TO:<r@example.org>\r\nDATA\r\nBASE\r\n.\r\n");
  EXPECT_EQ(second.line(500ms), "250 2.1.0 sender ok");
  EXPECT_EQ(second.line(500ms), "250 2.1.5 recipient ok");
  EXPECT_EQ(second.line(500ms).substr(0, 4), "354 ");
  EXPECT_EQ(second.line(500ms), "") << "served while the only worker is busy";
  EXPECT_EQ(first.line(), "250 slept");
  EXPECT_EQ(second.line(), "250 dc=first");
  first.send("QUIT\r\n");
  EXPECT_EQ(first.line().substr(0, 4), "221 ");
}

TEST_F(DaemonServerTest, ManyWorkersServeAtOnce) {
  auto daemon = started("lmtp_workers 3\n");
  std::vector<LmtpClient> clients;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) clients.push_back(begun("SLEEP 1"));
  LmtpClient fourth = begun("SLEEP 1");
  for (LmtpClient& c : clients) EXPECT_EQ(c.line(), "250 slept");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1900ms);
  EXPECT_EQ(fourth.line(300ms), "") << "a fourth transaction served by three workers";
  EXPECT_EQ(fourth.line(), "250 slept");
}

TEST_F(DaemonServerTest, HangupReloadsTheConfigurationOrKeepsTheOld) {
  auto daemon = started("lmtp_workers 2\n");
  LmtpClient c = begun("BASE");
  EXPECT_EQ(c.line(), "250 dc=first");

  dir_.write("orveltd.cfg", "base dc=second\nlmtp_listen unix:" + socket_ + "\n");
  daemon->signal(SIGHUP);
  ASSERT_TRUE(daemon->wait_for_log("INFO/SYS configuration reloaded", 5s));
  // Both workers adopt it: two transactions at once take both.
  LmtpClient other = client();
  other.hello();
  begin(c, "BASE");
  begin(other, "BASE");
  EXPECT_EQ(c.line(), "250 dc=second");
  EXPECT_EQ(other.line(), "250 dc=second");

  const std::string path = dir_.file("orveltd.cfg");
  ASSERT_EQ(unlink(path.c_str()), 0);
  daemon->signal(SIGHUP);
  ASSERT_TRUE(daemon->wait_for_log("WARN/CFG reload failed: ", 5s));
  EXPECT_TRUE(logged(daemon->log(), LOG_WARNING,
                     "WARN/CFG reload failed: " + path + ": No such file or directory"));
  begin(c, "BASE");
  EXPECT_EQ(c.line(), "250 dc=second");
  EXPECT_FALSE(daemon->wait_exit(0ms)) << "a failed reload stopped the server";
}

// A stop ends the connections outside a transaction at once and lets the
// transactions in flight finish, those still in their command phase too.
TEST_F(DaemonServerTest, TermLetsTheTransactionsInFlightFinish) {
  auto daemon = started("lmtp_workers 2\n");
  LmtpClient busy = begun("SLEEP 2");
  LmtpClient idle = client();
  LmtpClient mailing = client();
  EXPECT_TRUE(greets(idle));
  mailing.hello();
  mailing.send("MAIL FROM:<s@example.org>\r\n");
  EXPECT_EQ(mailing.line(), "250 2.1.0 sender ok");
  usleep(200'000);
  const auto stop = std::chrono::steady_clock::now();
  daemon->signal(SIGTERM);
  EXPECT_EQ(idle.line(), "421 4.3.2 shutting down");
  EXPECT_TRUE(idle.closed());
  mailing.send("RCPT TO:<r@example.org>\r\nDATA\r\nBASE\r\n.\r\nNOOP\r\n");
  EXPECT_EQ(mailing.line(), "250 2.1.5 recipient ok");
  EXPECT_EQ(mailing.line().substr(0, 4), "354 ");
  EXPECT_EQ(mailing.line(), "250 dc=first");
  EXPECT_EQ(mailing.line(), "421 4.3.2 shutting down");
  EXPECT_EQ(busy.line(), "250 slept");
  EXPECT_EQ(busy.line(), "421 4.3.2 shutting down");
  EXPECT_EQ(daemon->wait_exit(10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 5s);
  EXPECT_THROW(client(), std::runtime_error) << "still accepting after the stop";
  EXPECT_TRUE(logged(daemon->log(), LOG_INFO, "INFO/SYS stopping"));
}

TEST_F(DaemonServerTest, InterruptStopsAsTermDoes) {
  auto daemon = started("lmtp_workers 1\n");
  LmtpClient busy = begun("SLEEP 1");
  LmtpClient idle = client();
  EXPECT_TRUE(greets(idle));
  usleep(200'000);
  daemon->signal(SIGINT);
  EXPECT_EQ(idle.line(), "421 4.3.2 shutting down");
  EXPECT_TRUE(idle.closed());
  EXPECT_EQ(busy.line(), "250 slept");
  EXPECT_EQ(daemon->wait_exit(10s), 0);
}

// Memory that runs out in a worker ends the process from the main thread,
// as a fatal stop does.
TEST_F(DaemonServerTest, OutOfMemoryInAWorkerEndsTheServer) {
  // AddressSanitizer ends a run whose allocation it cannot make itself,
  // before any new-handler is asked.
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator never calls the new-handler";
  auto daemon = started("lmtp_workers 2\n");
  LmtpClient c = begun("NOMEM");
  EXPECT_EQ(daemon->wait_exit(10s), kFailStatus);
  EXPECT_TRUE(logged(daemon->log(), LOG_ERR, "CRIT/SYS Out of memory"));
  EXPECT_EQ(daemon->err(), "orvelt: CRIT/SYS Out of memory\n");
}

TEST_F(DaemonServerTest, RootIsWarnedAbout) {
  auto daemon = started();
  daemon->signal(SIGTERM);
  ASSERT_EQ(daemon->wait_exit(10s), 0);
  EXPECT_EQ(logged(daemon->log(), LOG_WARNING, "WARN/SYS running as root"), geteuid() == 0);
}

// Transactions still busy when the 30 seconds of the stop are over: one
// that heeds the stop ends at once, its recipients answered 451; one stuck
// in a call has its connection given the 421 and shut, and the server ends
// without waiting for it; a connection still in its command phase gets the
// 421. Having cut work short, the server ends with failstatus.
TEST_F(DaemonServerTest, StopEndsWhatIsStillRunningAfterItsLimit) {
  auto daemon = started("lmtp_workers 2\n");
  LmtpClient heeding = begun("SLEEP 120");
  LmtpClient stuck = begun("HANG 120");
  LmtpClient mailing = client();
  mailing.hello();
  mailing.send("MAIL FROM:<s@example.org>\r\n");
  EXPECT_EQ(mailing.line(), "250 2.1.0 sender ok");
  usleep(200'000);
  const auto stop = std::chrono::steady_clock::now();
  daemon->signal(SIGTERM);
  EXPECT_EQ(heeding.line(40s), "451 4.3.2 shutting down");
  const auto heeded = std::chrono::steady_clock::now() - stop;
  EXPECT_GT(heeded, 29s);
  EXPECT_LT(heeded, 32s);
  EXPECT_EQ(heeding.line(1s), "421 4.3.2 shutting down");
  EXPECT_TRUE(heeding.closed(1s));
  EXPECT_EQ(mailing.line(1s), "421 4.3.2 shutting down");
  EXPECT_TRUE(mailing.closed(1s));
  EXPECT_EQ(stuck.line(10s), "421 4.3.2 shutting down");
  EXPECT_TRUE(stuck.closed(1s));
  EXPECT_EQ(daemon->wait_exit(15s), kFailStatus);
  EXPECT_LT(std::chrono::steady_clock::now() - stop, 45s);
  const std::vector<LogRecord> log = daemon->log();
  EXPECT_TRUE(
      logged(log, LOG_WARNING, "WARN/SYS sessions still running at the end of the stop: ended"));
  EXPECT_TRUE(logged(log, LOG_WARNING, "WARN/SYS workers still busy at the end of the stop: left"));
}

}  // namespace
