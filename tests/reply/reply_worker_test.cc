// One ReplyWorker answering message after message in this process, against
// a real directory (reached through a relay that the tests can cut), real
// block files or Redis, and the recording MTA.
#include "reply/reply_worker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config/config.h"
#include "store/block_store_open.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/redis_server.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/unique_fd.h"

namespace {

// A loopback TCP relay to a port: what the worker sees as its directory
// server. The tests cut it as a server would: drop every connection (an
// idle timeout), go down (connections refused) and come up on the same port.
class Relay {
 public:
  explicit Relay(int target_port) : target_port_(target_port), wake_(eventfd(0, 0)) {
    listener_ = listen_on(0);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    command(Command::kQuit);
    thread_.join();
  }
  int port() const { return port_; }
  // Connections accepted so far.
  int accepted() const { return accepted_; }
  void drop_connections() { command(Command::kDrop); }
  void go_down() { command(Command::kDown); }
  void come_up() { command(Command::kUp); }

 private:
  enum class Command { kNone, kDrop, kDown, kUp, kQuit };
  struct Pair {
    UniqueFd client, server;
  };

  static UniqueFd listen_on(int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), 16) != 0) {
      throw std::runtime_error("relay cannot listen");
    }
    return fd;
  }

  UniqueFd connect_target() const {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(target_port_));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
  }

  // Sends the command to the relay's thread and waits until it is done.
  void command(Command c) {
    std::unique_lock lock(mutex_);
    pending_ = c;
    const uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof one) != sizeof one) throw std::runtime_error("wake");
    done_.wait(lock, [&] { return pending_ == Command::kNone; });
  }

  // Carries the command out; false to end the thread.
  bool obey() {
    uint64_t count = 0;
    if (read(wake_.get(), &count, sizeof count) != sizeof count) return true;
    std::lock_guard lock(mutex_);
    const Command c = pending_;
    if (c == Command::kDrop || c == Command::kDown) pairs_.clear();
    if (c == Command::kDown) listener_.reset();
    if (c == Command::kUp) listener_ = listen_on(port_);
    pending_ = Command::kNone;
    done_.notify_all();
    return c != Command::kQuit;
  }

  // Copies what from has to to; false when either side is done.
  static bool carry(int from, int to) {
    char buffer[65536];
    const ssize_t got = read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t sent = 0; sent < got;) {
      const ssize_t n = write(to, buffer + sent, static_cast<size_t>(got - sent));
      if (n <= 0) return false;
      sent += n;
    }
    return true;
  }

  void run() {
    for (;;) {
      std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
      for (const Pair& pair : pairs_) {
        fds.push_back({pair.client.get(), POLLIN, 0});
        fds.push_back({pair.server.get(), POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if ((fds[0].revents & POLLIN) != 0) {
        if (!obey()) return;
        continue;  // the descriptors may have changed
      }
      // Accepted after the pairs polled above are served: a pair added now
      // has no entry in fds.
      const bool incoming = listener_.valid() && (fds[1].revents & POLLIN) != 0;
      std::vector<Pair> open;
      for (size_t i = 0; i < pairs_.size(); ++i) {
        Pair& pair = pairs_[i];
        bool alive = true;
        if (fds[2 + 2 * i].revents != 0) alive = carry(pair.client.get(), pair.server.get());
        if (alive && fds[3 + 2 * i].revents != 0) {
          alive = carry(pair.server.get(), pair.client.get());
        }
        if (alive) open.push_back(std::move(pair));
      }
      pairs_ = std::move(open);
      if (incoming) accept_one();
    }
  }

  void accept_one() {
    UniqueFd client(accept(listener_.get(), nullptr, nullptr));
    if (!client.valid()) return;
    ++accepted_;
    UniqueFd server = connect_target();
    if (server.valid()) pairs_.push_back({std::move(client), std::move(server)});
  }

  int target_port_;
  int port_ = 0;
  UniqueFd wake_;
  UniqueFd listener_;
  std::vector<Pair> pairs_;
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable done_;
  Command pending_ = Command::kNone;
  std::thread thread_;
};

// A message held in memory, read in one piece.
class TextSource : public ByteSource {
 public:
  explicit TextSource(std::string text) : text_(std::move(text)) {}
  ssize_t read(char* buffer, size_t size) override {
    const size_t n = std::min(size, text_.size() - pos_);
    memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

 private:
  std::string text_;
  size_t pos_ = 0;
};

std::string message(const std::string& from) {
  return "From: " + from + "\nTo: r1@site, r2@site\nSubject: lunch\n\nAre you free?\n";
}

class ReplyWorkerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<SlapdServer>(SlapdOptions().entries(
        ldif_people_unit() + ldif_person("r1", "r1@site", "TRUE", {"r1 is away\n"}) +
        ldif_person("r2", "r2@site", "TRUE", {"r2 is away\n"})));
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  // The directory through the relay, the recording MTA given the sender,
  // and lines on top; read into g_config.
  void configure(const std::string& lines = "") {
    const std::string path = TestConfig(*server_, blockdir_)
                                 .set("port", std::to_string(relay_.port()))
                                 .set("mta", RecordingMta::program() + " $sender")
                                 .add(lines)
                                 .write(dir_);
    config_read_file(path.c_str());
  }

  std::vector<Outcome> answer(ReplyWorker& worker, const std::string& from,
                              const StringList& recipients) {
    TextSource source(message(from));
    const MailState mail = worker.read_message(source, std::nullopt, false);
    return worker.answer(mail, recipients);
  }

  // The recipient each recorded reply was written for, by its text.
  static std::vector<std::string> replies(const RecordingMta& mta) {
    std::vector<std::string> texts;
    for (const MtaCall& call : mta.calls()) texts.push_back(call.stdin_text);
    return texts;
  }

  static inline std::unique_ptr<SlapdServer> server_;
  Relay relay_{server_->port()};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

bool all_done(const std::vector<Outcome>& outcomes) {
  for (const Outcome& outcome : outcomes) {
    if (!outcome.ok()) return false;
  }
  return true;
}

TEST_F(ReplyWorkerTest, AnswersEachRecipientOverOneSessionAcrossMessages) {
  configure("blockexpire 0\n");
  RecordingMta mta;
  LogCapture capture;
  ReplyWorker worker(block_store_open(g_config));
  std::vector<Outcome> outcomes = answer(worker, "a@x", {"r1@site", "nobody@site"});
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_TRUE(all_done(outcomes));
  outcomes = answer(worker, "b@x", {"R2@Site"});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_TRUE(all_done(outcomes));
  EXPECT_EQ(replies(mta), (std::vector<std::string>{"r1 is away\n", "r2 is away\n"}));
  EXPECT_EQ(mta.calls()[1].argv.back(), "b@x");
  EXPECT_TRUE(logged_start(capture.records(), LOG_DEBUG, "DEBUG/LDAP No match: "));
  EXPECT_EQ(relay_.accepted(), 1);
}

// Each recipient is judged alone: a blacklisted one declines only itself,
// and a repeat is blocked per recipient as separate runs would block it.
TEST_F(ReplyWorkerTest, RecipientsAreJudgedAlone) {
  write_gdbm_keys(dir_.file("blacklist"), {"r1@site"});
  configure("blacklist " + dir_.file("blacklist") + "\n");
  RecordingMta mta;
  ReplyWorker worker(block_store_open(g_config));
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r1@site", "r2@site"})));
  EXPECT_EQ(replies(mta), std::vector<std::string>{"r2 is away\n"});
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r2@site"})));
  EXPECT_EQ(mta.calls().size(), 1u);  // blocked: answered before
  EXPECT_TRUE(gdbm_holds(blockdir_ + "/r2@site", "a@x"));
}

TEST_F(ReplyWorkerTest, DirectoryOutageFailsTheRestThenTheNextMessageIsAnswered) {
  configure("blockexpire 0\n");
  RecordingMta mta;
  LogCapture capture;
  ReplyWorker worker(block_store_open(g_config));
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r1@site"})));
  relay_.go_down();
  const std::vector<Outcome> failed = answer(worker, "a@x", {"r1@site", "r2@site", "x@site"});
  ASSERT_EQ(failed.size(), 3u);
  for (const Outcome& outcome : failed) {
    EXPECT_EQ(outcome.kind, Outcome::kRetry);
    EXPECT_EQ(outcome.reason, failed[0].reason);
  }
  EXPECT_EQ(failed[0].reason.rfind("CRIT/LDAP ", 0), 0u) << failed[0].reason;
  relay_.come_up();
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r2@site"})));
  EXPECT_EQ(replies(mta), (std::vector<std::string>{"r1 is away\n", "r2 is away\n"}));
}

// A server that closes an idle connection: the next message's search finds
// the session lost, and a new one asks again; nothing fails.
TEST_F(ReplyWorkerTest, SessionDroppedWhileIdleIsOpenedAgain) {
  configure("blockexpire 0\n");
  RecordingMta mta;
  LogCapture capture;
  ReplyWorker worker(block_store_open(g_config));
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r1@site"})));
  relay_.drop_connections();
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r1@site", "r2@site"})));
  EXPECT_EQ(mta.calls().size(), 3u);
  EXPECT_EQ(relay_.accepted(), 2);
  for (const LogRecord& record : capture.records()) EXPECT_GT(record.priority, LOG_ERR);
}

// A reply the MTA did not take fails its own recipient only.
TEST_F(ReplyWorkerTest, FailedReplyFailsOnlyItsRecipient) {
  configure();
  RecordingMta mta(MtaBehaviour{75, true});
  ReplyWorker worker(block_store_open(g_config));
  const std::vector<Outcome> outcomes = answer(worker, "a@x", {"r1@site", "nobody@site"});
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].kind, Outcome::kRetry);
  EXPECT_EQ(outcomes[0].reason.rfind("WARN/MAIL MTA failed (", 0), 0u) << outcomes[0].reason;
  EXPECT_TRUE(outcomes[1].ok());
  EXPECT_FALSE(gdbm_holds(blockdir_ + "/r1@site", "a@x"));  // the claim withdrawn
}

size_t keys_naming(const RedisServer& server, const std::string& sender) {
  size_t count = 0;
  for (const std::string& key : server.keys()) count += key.find(sender) != std::string::npos;
  return count;
}

// The Redis connection is kept; one that the server closed (a restart) is
// made again, and a first server back after an outage is used again.
TEST_F(ReplyWorkerTest, RedisServersComeBackIntoUse) {
  RedisServer first;
  RedisServer second;
  configure("blockstore " + first.url() + " " + second.url() + "\n");
  RecordingMta mta;
  ReplyWorker worker(block_store_open(g_config));
  EXPECT_TRUE(all_done(answer(worker, "a@x", {"r1@site"})));
  first.command({"CLIENT", "KILL", "TYPE", "normal"});
  EXPECT_TRUE(all_done(answer(worker, "b@x", {"r1@site"})));
  EXPECT_EQ(first.keys().size(), 2u);
  first.stop();
  EXPECT_TRUE(all_done(answer(worker, "c@x", {"r1@site"})));
  EXPECT_EQ(second.keys().size(), 1u);
  first.cont();
  EXPECT_TRUE(all_done(answer(worker, "d@x", {"r1@site"})));
  // (The silent server may still have taken the claim it got before it
  // was passed over: only the last message's key tells.)
  EXPECT_EQ(keys_naming(first, "d@x"), 1u);
  EXPECT_EQ(keys_naming(second, "d@x"), 0u);
  EXPECT_EQ(mta.calls().size(), 4u);
}

}  // namespace
