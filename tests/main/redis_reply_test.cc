// Several mail servers, one Redis block store: the built program on
// configurations that stand for different hosts (each with block files of
// its own), the real directory, real redis-server processes and the
// recording MTA.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store/block_record.h"
#include "support/daemon_process.h"
#include "support/lmtp_client.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/redis_server.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr const char* kReceiver = "away@site";
constexpr const char* kSender = "box@host";
constexpr int kFailStatus = 75;

std::string message(const std::string& from, const std::string& to = kReceiver) {
  return "From: " + from + "\nTo: " + to + "\nSubject: Lunch?\n\nAre you free?\n";
}

class RedisReplyTest : public testing::Test {
 protected:
  // The configuration of one "host": block files of its own, failstatus
  // kFailStatus, and the block store given.
  TestConfig host(const std::string& name, const std::string& blockstore) const {
    const std::string blockdir = dir_.file("block-" + name);
    std::filesystem::create_directories(blockdir);
    return TestConfig(slapd_, blockdir)
        .set("failstatus", std::to_string(kFailStatus))
        .set("blockstore", blockstore);
  }

  ProgramResult run(const TestConfig& config, const std::string& text) const {
    ProgramRun run;
    run.args = {"-c", config.write(dir_, "orvelt-" + std::to_string(++configs_) + ".cfg")};
    run.stdin_text = text;
    return run_program(run);
  }

  std::string key(const std::string& sender) const {
    return redis_block_key("orvelt:", kReceiver, sender);
  }

  static void expect_fatal(const ProgramResult& r, const std::string& start) {
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_TRUE(logged_start(r.log, LOG_ERR, start)) << "no log line starting " << start;
    EXPECT_EQ(r.err.rfind("orvelt: " + start, 0), 0u) << r.err;
  }

  SlapdServer slapd_{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}) +
      ldif_person("here", "here@site", "FALSE", {"Not away.\n"}) +
      ldif_person("other", "other@site", "TRUE", {"Other is away.\n"}))};
  TempDir dir_;
  mutable int configs_ = 0;
};

// The reason for the store: with block files of its own, each host answers
// the same sender once; with one Redis, the sender gets one reply between
// them.
TEST_F(RedisReplyTest, TwoHostsAnswerASenderOnceWithRedisAndTwiceWithBlockFiles) {
  RedisServer redis;
  struct Case {
    const char* name;
    std::string blockstore;
    size_t replies;
  };
  const Case cases[] = {{"redis", redis.url(), 1}, {"gdbm", "gdbm", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    for (const char* name : {"mx1", "mx2", "mx1", "mx2"}) {
      const ProgramResult r = run(host(std::string(name) + c.name, c.blockstore), message(kSender));
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(mta.calls().size(), c.replies);
  }
  EXPECT_EQ(redis.keys(), std::vector<std::string>{key(kSender)});
  EXPECT_GE(redis.ttl(key(kSender)), 48 * 3600 - 5);
}

TEST_F(RedisReplyTest, EightProcessesOnTwoHostsAtOnceSendOneReply) {
  RedisServer redis;
  const std::string configs[] = {
      host("a", redis.url()).write(dir_, "a.cfg"),
      host("b", redis.url()).write(dir_, "b.cfg"),
  };
  RecordingMta mta;
  std::atomic<int> ready{0};
  std::vector<ProgramResult> results(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      ProgramRun run;
      run.args = {"-c", configs[i % 2]};
      run.stdin_text = message(kSender);
      ++ready;
      while (ready < 8) std::this_thread::yield();
      results[i] = run_program(run);
    });
  }
  for (std::thread& t : threads) t.join();
  // A run that met the claim of the one that answers, before it was
  // confirmed, ends with failstatus: its copy is tried again later.
  const std::string pending =
      "orvelt: WARN/MAIL reply to box@host for away@site pending in another run\n";
  for (const ProgramResult& r : results) {
    if (r.exit_status == kFailStatus) {
      EXPECT_EQ(r.err, pending);
    } else {
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(redis.keys(), std::vector<std::string>{key(kSender)});
}

TEST_F(RedisReplyTest, ServersDownOrReplicasAreSkippedForTheNextOne) {
  RedisServer primary;
  RedisServer replica(RedisOptions().replica_of(primary));
  ClosedPort down;
  RecordingMta mta;
  const ProgramResult r =
      run(host("a", down.url() + " " + replica.url() + " " + primary.url()), message(kSender));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(logged(r.log, LOG_WARNING,
                     "WARN/IO blockstore " + down.url() + " skipped: Connection refused"));
  EXPECT_TRUE(logged(r.log, LOG_WARNING,
                     "WARN/IO blockstore " + replica.url() +
                         " skipped: READONLY You can't write against a read only replica."));
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_TRUE(primary.get(key(kSender)));
}

TEST_F(RedisReplyTest, NoUsableServerOrARefusedPasswordEndsTheRunWithoutAReply) {
  RedisServer locked(RedisOptions().password("right"));
  ClosedPort down;
  struct Case {
    const char* name;
    std::string blockstore;
    const char* password;
    std::string fatal;
  };
  const Case cases[] = {
      {"all down", down.url() + " unix:" + dir_.file("no-socket"), nullptr,
       "CRIT/IO blockstore: no server usable"},
      {"wrong password", locked.url(), "wrong",
       "CRIT/IO blockstore " + locked.url() + ": WRONGPASS"},
      {"no password", locked.url(), nullptr, "CRIT/IO blockstore " + locked.url() + ": NOAUTH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestConfig config = host("a", c.blockstore);
    if (c.password != nullptr) config.set("blockstore_password", c.password);
    RecordingMta mta;
    expect_fatal(run(config, message(kSender)), c.fatal);
    EXPECT_EQ(mta.calls().size(), 0u);
  }
  EXPECT_TRUE(locked.keys().empty());
  RecordingMta mta;
  const ProgramResult r =
      run(host("a", locked.url()).set("blockstore_password", "right"), message(kSender));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(mta.calls().size(), 1u);
}

// Only a reply to send connects: a receiver without a vacation text, or a
// message that is not answered at all, runs with the servers down.
TEST_F(RedisReplyTest, RunsWithoutAReplyNeverConnect) {
  ClosedPort down;
  RecordingMta mta;
  for (const std::string& text :
       {message(kSender, "here@site"), message(kSender, "nobody@site"),
        std::string("From: MAILER-DAEMON@host\nTo: away@site\nSubject: x\n\nbounce\n")}) {
    const ProgramResult r = run(host("a", down.url()).set("rfc3834", "yes"), text);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_FALSE(logged_start(r.log, LOG_WARNING, "WARN/IO blockstore"));
  }
  EXPECT_EQ(mta.calls().size(), 0u);
}

// An MTA that fails the second receiver's reply: the first is recorded in
// Redis, the second's claim withdrawn, the run ends with failstatus, and the
// copy delivered again (here to the other host) answers the second only.
TEST_F(RedisReplyTest, FailedMtaWithdrawsTheClaimAndTheNextMessageIsAnswered) {
  RedisServer redis;
  const std::string failing_mta =
      dir_.write("mta.sh",
                 "#!/bin/sh\n[ \"$1\" = away@site ] && { cat >/dev/null; exit 75; }\n"
                 "shift\nexec " +
                     RecordingMta::program() + " \"$@\"\n");
  ASSERT_EQ(chmod(failing_mta.c_str(), 0755), 0);
  const std::string both = "other@site, " + std::string(kReceiver);
  {
    RecordingMta mta;
    const ProgramResult r =
        run(host("a", redis.url()).set("mta", failing_mta + " $recepient -f <> $sender"),
            message(kSender, both));
    const std::string failed =
        "WARN/MAIL MTA failed (exit status 75): reply to box@host not recorded";
    EXPECT_EQ(r.exit_status, kFailStatus) << r.err;
    EXPECT_EQ(r.err, "orvelt: " + failed + "\n");
    EXPECT_TRUE(logged(r.log, LOG_ERR, failed));
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text, "Other is away.\n");
  }
  EXPECT_FALSE(redis.get(key(kSender)));
  EXPECT_TRUE(redis.get(redis_block_key("orvelt:", "other@site", kSender)));
  RecordingMta mta;
  EXPECT_EQ(run(host("b", redis.url()), message(kSender, both)).exit_status, 0);
  EXPECT_EQ(run(host("a", redis.url()), message(kSender, both)).exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, "I am away.\n");
  EXPECT_TRUE(redis.get(key(kSender)));
}

// A server that stalls past the answer time, then applies the claim that
// orvelt gave up on: the retry finds a pending record and is deferred, not
// blocked; once the lease ends (here cut short) the sender is answered, once.
TEST_F(RedisReplyTest, AClaimAppliedAfterTheRunGaveUpDefersTheRetryUntilItsLeaseEnds) {
  RedisServer redis;
  const TestConfig config = host("a", redis.url());
  RecordingMta mta;
  redis.stop();
  const ProgramResult stalled = run(config, message(kSender));
  redis.cont();
  expect_fatal(stalled, "CRIT/IO blockstore: no server usable");
  EXPECT_TRUE(logged(stalled.log, LOG_WARNING,
                     "WARN/IO blockstore " + redis.url() + " skipped: no answer within 5 seconds"));
  EXPECT_TRUE(mta.calls().empty());
  // The server applies the write it was sent while stopped.
  for (int i = 0; i < 200 && !redis.get(key(kSender)); ++i) usleep(10000);
  const std::optional<std::string> late = redis.get(key(kSender));
  ASSERT_TRUE(late);
  EXPECT_TRUE(redis_block_record(*late)->lease);

  const ProgramResult retry = run(config, message(kSender));
  expect_fatal(retry, "WARN/MAIL reply to box@host for away@site pending in another run");
  EXPECT_TRUE(mta.calls().empty());
  redis.command({"PEXPIRE", key(kSender), "1"});  // as the lease's end would
  usleep(50000);
  const ProgramResult answered = run(config, message(kSender));
  EXPECT_EQ(answered.exit_status, 0) << answered.err;
  EXPECT_EQ(run(config, message(kSender)).exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  const std::optional<std::string> full = redis.get(key(kSender));
  ASSERT_TRUE(full);
  EXPECT_FALSE(redis_block_record(*full)->lease);
  EXPECT_GE(redis.ttl(key(kSender)), 48 * 3600 - 5);
}

// The MTA runs while orvelt's connection is killed (or the server
// restarts): the withdrawal connects again and removes the claim; with the
// server gone for good, the claim stands until its lease ends, and the log
// says so.
TEST_F(RedisReplyTest, AWithdrawalAfterALostConnectionReconnectsOrSaysWhenTheClaimExpires) {
  RedisServer redis;
  const std::string port = std::to_string(redis.port());
  struct Case {
    const char* name;
    const char* during_mta;  // redis-cli's command
    std::string line;        // the failed reply's, its start
  };
  const Case cases[] = {
      {"connection killed", "CLIENT KILL TYPE normal",
       "WARN/MAIL MTA failed (exit status 75): reply to box@host not recorded"},
      {"server gone", "SHUTDOWN NOSAVE",
       "WARN/MAIL MTA failed (exit status 75): reply to box@host not sent; its claim expires in "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mta = dir_.write(std::string("mta-") + c.name[0] + ".sh",
                                       "#!/bin/sh\ncat >/dev/null\nredis-cli -p " + port + " " +
                                           c.during_mta + " >/dev/null\nexit 75\n");
    ASSERT_EQ(chmod(mta.c_str(), 0755), 0);
    const ProgramResult r =
        run(host("a", redis.url()).set("mta", mta + " $recepient"), message(kSender));
    EXPECT_EQ(r.exit_status, kFailStatus) << r.err;
    EXPECT_TRUE(logged_start(r.log, LOG_ERR, c.line)) << r.err;
    if (c.line.ends_with("not recorded")) {
      EXPECT_TRUE(logged(r.log, LOG_ERR, c.line)) << r.err;
      EXPECT_FALSE(redis.get(key(kSender)));
      EXPECT_FALSE(logged_start(r.log, LOG_ERR, "CRIT/IO"));
      continue;
    }
    EXPECT_TRUE(
        logged(r.log, LOG_ERR, "CRIT/IO blockstore " + redis.url() + ": connection closed"));
    // mtatimeout 120: its lease, less the moments the run took.
    const size_t at = r.err.find(c.line);
    ASSERT_NE(at, std::string::npos) << r.err;
    const int left = std::stoi(r.err.substr(at + c.line.size()));
    EXPECT_LE(left, block_lease_seconds(120));
    EXPECT_GE(left, block_lease_seconds(120) - 10);
  }
}

// The server's process id, from INFO.
std::string server_pid(const RedisServer& redis) {
  const RedisReply info = redis.command({"INFO", "server"});
  const std::string text(info->str, info->len);
  const size_t at = text.find("process_id:") + 11;
  return text.substr(at, text.find_first_not_of("0123456789", at) - at);
}

// The built orvelt-db with args.
ProgramResult run_tool(const std::vector<std::string>& args) {
  ProgramRun tool;
  tool.program = ORVELT_DB_BINARY;
  tool.args = args;
  return run_program(tool);
}

// The connection to the claim's server is killed while the MTA runs, after
// it took the reply: the confirmation is made on a fresh connection, and
// the sender holds the full record.
TEST_F(RedisReplyTest, AConfirmationAfterALostConnectionIsMadeOnAFreshOne) {
  RedisServer redis;
  const std::string mta = dir_.write(
      "mta.sh", "#!/bin/sh\n" + RecordingMta::program() + " \"$@\" || exit\nredis-cli -p " +
                    std::to_string(redis.port()) + " CLIENT KILL TYPE normal >/dev/null\n");
  ASSERT_EQ(chmod(mta.c_str(), 0755), 0);
  const TestConfig config = host("a", redis.url()).set("mta", mta + " $recepient");
  RecordingMta calls;
  const ProgramResult r = run(config, message(kSender));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(logged_start(r.log, LOG_ERR, "CRIT/IO"));
  const std::optional<std::string> full = redis.get(key(kSender));
  ASSERT_TRUE(full);
  EXPECT_FALSE(redis_block_record(*full)->lease);
  // Made by "<host>:<pid>.<n>", the store of the run that claimed.
  EXPECT_THAT(*full, testing::MatchesRegex("[0-9]+ [^ ]+:[0-9]+\\.[0-9]+"));
  EXPECT_GE(redis.ttl(key(kSender)), 48 * 3600 - 5);
  EXPECT_EQ(run(config, message(kSender)).exit_status, 0);
  EXPECT_EQ(calls.calls().size(), 1u);
}

// The confirmation fails on the fresh connection too (Redis: the servers
// stop answering; block files: the file is moved away while the MTA runs):
// the reply went out, so the run ends answered, the loss is logged within
// five seconds, and orvelt-db add puts the record back once the pending
// record is gone: the sender is not answered again.
TEST_F(RedisReplyTest, ALostConfirmationIsLoggedAndOrveltDbPutsTheRecordBack) {
  RedisServer first(RedisOptions().password("pw"));
  RedisServer second(RedisOptions().password("pw"));
  const std::string lost = "CRIT/IO blockstore: confirmation lost: box@host for away@site";
  const std::string block_file = dir_.file("block-files") + "/" + kReceiver;
  struct Case {
    const char* name;
    std::string blockstore;
    std::string during_mta;  // shell lines after the reply was taken
    std::string failure;     // logged before the loss
  };
  const Case cases[] = {
      {"redis", first.url() + " " + second.url(),
       "redis-cli -p " + std::to_string(first.port()) +
           " -a pw --no-auth-warning CLIENT KILL TYPE normal >/dev/null\nkill -STOP " +
           server_pid(first) + " " + server_pid(second) + "\n",
       "CRIT/IO blockstore " + first.url() + ": connection closed"},
      {"files", "gdbm", "mv " + block_file + " " + block_file + ".aside\n",
       "CRIT/IO " + block_file + ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mta =
        dir_.write(std::string("mta-") + c.name + ".sh",
                   "#!/bin/sh\n" + RecordingMta::program() + " \"$@\" || exit\n" + c.during_mta);
    ASSERT_EQ(chmod(mta.c_str(), 0755), 0);
    TestConfig config = host(c.name == std::string("files") ? "files" : "shared", c.blockstore)
                            .set("blockstore_password", "pw")
                            .set("mta", mta + " $recepient");
    RecordingMta calls;
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult r = run(config, message(kSender));
    const auto took = std::chrono::steady_clock::now() - start;
    first.cont();
    second.cont();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(logged(r.log, LOG_ERR, c.failure));
    EXPECT_TRUE(logged(r.log, LOG_ERR, lost));
    EXPECT_LT(took, std::chrono::seconds(8));
    ASSERT_EQ(calls.calls().size(), 1u);

    // The pending record is gone (its lease ended; moved back and removed).
    if (c.blockstore == "gdbm") {
      std::filesystem::rename(block_file + ".aside", block_file);
      ASSERT_EQ(run_tool({"remove", block_file, kSender}).exit_status, 0);
    } else {
      first.command({"DEL", key(kSender)});
    }
    const std::string path = config.write(dir_, std::string("operator-") + c.name + ".cfg");
    const ProgramResult added = run_tool({"add", "-c", path, kReceiver, kSender});
    EXPECT_EQ(added.exit_status, 0) << added.err;
    EXPECT_EQ(added.out, "added the record of box@host for away@site\n");
    const ProgramResult again = run(config, message(kSender));
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(calls.calls().size(), 1u);
  }
  const std::optional<std::string> put_back = first.get(key(kSender));
  ASSERT_TRUE(put_back);
  EXPECT_FALSE(redis_block_record(*put_back)->lease);
  EXPECT_GE(first.ttl(key(kSender)), 48 * 3600 - 5);
}

// orveltd the same: the reply went out, so the recipient is answered 250
// and the loss logged.
TEST_F(RedisReplyTest, ALostConfirmationInOrveltdIsAnswered250) {
  RedisServer first(RedisOptions().password("pw"));
  RedisServer second(RedisOptions().password("pw"));
  const std::string mta = dir_.write(
      "mta.sh", "#!/bin/sh\n" + RecordingMta::program() + " \"$@\" || exit\nredis-cli -p " +
                    std::to_string(first.port()) +
                    " -a pw --no-auth-warning CLIENT KILL TYPE normal >/dev/null\nkill -STOP " +
                    server_pid(first) + " " + server_pid(second) + "\n");
  ASSERT_EQ(chmod(mta.c_str(), 0755), 0);
  const std::string socket = dir_.file("lmtp");
  const TestConfig config = host("d", first.url() + " " + second.url())
                                .set("blockstore_password", "pw")
                                .set("mta", mta + " $recepient")
                                .set("lmtp_listen", "unix:" + socket)
                                .set("lmtp_workers", "1");
  RecordingMta calls;
  DaemonProcess daemon(
      DaemonStart{ORVELTD_BINARY, {"-c", config.write(dir_, "orveltd.cfg")}, {}, -1});
  ASSERT_TRUE(wait_listening(socket, std::chrono::seconds(10))) << daemon.err();
  LmtpClient client = LmtpClient::unix_socket(socket);
  client.hello();
  const std::vector<std::string> replies =
      client.transaction(kSender, {kReceiver}, message(kSender));
  first.cont();
  second.cont();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].substr(0, 4), "250 ") << replies[0];
  EXPECT_TRUE(daemon.wait_for_log("CRIT/IO blockstore: confirmation lost: box@host for away@site",
                                  std::chrono::seconds(5)));
  EXPECT_EQ(calls.calls().size(), 1u);
}

// The helpdesk's way to re-arm a reply: orvelt-db shows the record orvelt
// made, and once it is removed the sender is answered again.
TEST_F(RedisReplyTest, OrveltDbShowsAndRemovesTheRecordOfAReply) {
  RedisServer redis(RedisOptions().password("pw"));
  const TestConfig config = host("a", redis.url()).set("blockstore_password", "pw");
  const std::string path = config.write(dir_, "shared.cfg");
  RecordingMta mta;
  ASSERT_EQ(run(config, message(kSender)).exit_status, 0);
  ASSERT_EQ(run(config, message(kSender)).exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);

  ProgramRun tool;
  tool.program = ORVELT_DB_BINARY;
  tool.args = {"blocks", "-c", path};
  ProgramResult r = run_program(tool);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with(std::string(kReceiver) + "\t" + kSender + "\t")) << r.out;
  EXPECT_TRUE(r.out.ends_with("\t0h00m\n")) << r.out;

  tool.args = {"remove", "-c", path, kReceiver, kSender};
  r = run_program(tool);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  ASSERT_EQ(run(config, message(kSender)).exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 2u);
}

}  // namespace
