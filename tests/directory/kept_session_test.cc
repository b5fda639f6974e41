// orveltd's kept directory sessions when the way to the server fails: the
// built server reaches the private slapd through a relay that can forget
// the connections open at a moment, as a firewall that dropped an idle
// connection does (nothing arrives, nothing is closed). The message after
// such a drop is still answered, and soon.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/daemon_process.h"
#include "support/lmtp_client.h"
#include "support/recording_mta.h"
#include "support/slapd_server.h"
#include "support/tcp_relay.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kReceiver = "away@site";
constexpr const char* kOk = "250 2.0.0 ok";

std::string message(const std::string& from) {
  return "From: " + from + "\nTo: " + kReceiver + "\nSubject: Lunch?\n\nFree on Friday?\n";
}

class KeptSessionTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }
  // In a sanitizer build, a finding of the server's shows in its output.
  void TearDown() override {
    if (daemon_ == nullptr) return;
    const std::string err = daemon_->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  // orveltd with one worker, so that every message meets the session the
  // one before left, reaching the directory through the relay.
  void start(const std::string& ldap_idle) {
    const std::string config = TestConfig(server_, blockdir_)
                                   .set("port", std::to_string(relay_.port()))
                                   .set("failstatus", "75")
                                   .set("lmtp_listen", "unix:" + socket_)
                                   .set("lmtp_workers", "1")
                                   .set("ldap_idle", ldap_idle)
                                   .write(dir_, "orveltd.cfg");
    daemon_ = std::make_unique<DaemonProcess>(DaemonStart{ORVELTD_BINARY, {"-c", config}, {}, -1});
    ASSERT_TRUE(wait_listening(socket_, 10s)) << daemon_->err();
  }

  // The replies to one message from sender, and how long they took.
  std::vector<std::string> deliver(const std::string& sender,
                                   std::chrono::steady_clock::duration* took = nullptr) {
    LmtpClient client = LmtpClient::unix_socket(socket_);
    client.hello();
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::string> replies = client.transaction(sender, {kReceiver}, message(sender));
    if (took != nullptr) *took = std::chrono::steady_clock::now() - began;
    return replies;
  }

  SlapdServer server_{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}))};
  TcpRelay relay_{server_.port()};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
  std::string socket_ = dir_.file("lmtp");
  std::unique_ptr<DaemonProcess> daemon_;
};

// A session idle for longer than ldap_idle is not trusted: the message
// after the drop goes over a new connection at once.
TEST_F(KeptSessionTest, SessionIdleLongerThanLdapIdleIsReopenedBeforeUse) {
  RecordingMta mta;
  start("1");
  ASSERT_EQ(deliver("one@host"), std::vector<std::string>{kOk});
  relay_.black_hole();
  sleep(2);
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(deliver("two@host", &took), std::vector<std::string>{kOk});
  EXPECT_LT(took, 3s);
  EXPECT_EQ(mta.calls().size(), 2u);
}

// Never reopened for idleness (ldap_idle 0), the kept session's search
// times out; it is asked again on a new session, and the message is
// answered instead of deferred.
TEST_F(KeptSessionTest, TimeOutOnAKeptSessionIsRetriedOnANewOne) {
  RecordingMta mta;
  start("0");
  ASSERT_EQ(deliver("one@host"), std::vector<std::string>{kOk});
  relay_.black_hole();
  std::chrono::steady_clock::duration took{};
  EXPECT_EQ(deliver("two@host", &took), std::vector<std::string>{kOk});
  EXPECT_LT(took, 15s);  // the search's time limit, then a new session
  EXPECT_EQ(mta.calls().size(), 2u);
  // Within ldap_idle the session is kept: the next message takes no new
  // connection.
  const std::vector<int> ports = relay_.client_ports();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(deliver("three@host"), std::vector<std::string>{kOk});
  EXPECT_EQ(relay_.client_ports(), ports);
}

// The kernel's keepalive timer of the TCP connection from local_port to
// remote_port on 127.0.0.1, in seconds from now; -1 when the connection
// has no keepalive timer running (or is not found).
double keepalive_due(int local_port, int remote_port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  char local[16];
  char remote[16];
  snprintf(local, sizeof local, "0100007F:%04X", local_port);
  snprintf(remote, sizeof remote, "0100007F:%04X", remote_port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, from, to, state, queues, timer;
    fields >> slot >> from >> to >> state >> queues >> timer;
    if (from != local || to != remote) continue;
    // "tr:when": timer kind 2 is keepalive, when in clock ticks.
    if (timer.substr(0, 3) != "02:") return -1;
    return static_cast<double>(std::stoul(timer.substr(3), nullptr, 16)) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return -1;
}

// Directory connections are kept alive by the kernel well within the
// minutes after which firewalls commonly forget an idle connection (the
// system's default waits two hours).
TEST_F(KeptSessionTest, DirectoryConnectionsAreKeptAlive) {
  RecordingMta mta;
  start("60");
  ASSERT_EQ(deliver("one@host"), std::vector<std::string>{kOk});
  const std::vector<int> ports = relay_.client_ports();
  ASSERT_EQ(ports.size(), 1u);
  const double due = keepalive_due(ports[0], relay_.port());
  EXPECT_GT(due, 0);
  EXPECT_LE(due, 30);
}

}  // namespace
