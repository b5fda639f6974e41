// The Redis block store against real redis-server processes: the key, the
// addresses, the claim and its withdrawal, and how servers that are down,
// silent, read-only or refusing the password are handled.
#include "store/redis_store.h"

#include <syslog.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <ctime>
#include <memory>
#include <set>

#include "config/config.h"
#include "store/block_record.h"
#include "store/block_store_open.h"
#include "support/log_capture.h"
#include "support/redis_server.h"
#include "util/log.h"

namespace {

TEST(RedisKey, NoTwoPairsShareAKeyAndEachReadsBack) {
  const std::string nul("a\0b", 3);
  struct Pair {
    std::string receiver, sender;
  };
  const std::vector<Pair> pairs = {
      {"ab", "c"},  {"a", "bc"}, {"", "abc"}, {"abc", ""},  {"1:a", "b"},
      {"1", ":ab"}, {nul, "x"},  {"x", nul},  {"a b", "c"},
  };
  std::set<std::string> keys;
  for (const Pair& p : pairs) {
    const std::string key = redis_block_key("orvelt:", p.receiver, p.sender);
    EXPECT_TRUE(key.starts_with("orvelt:"));
    EXPECT_TRUE(keys.insert(key).second) << key;
    const auto parts = redis_block_key_parts("orvelt:", key);
    ASSERT_TRUE(parts) << key;
    EXPECT_EQ(parts->first, p.receiver);
    EXPECT_EQ(parts->second, p.sender);
  }
  EXPECT_EQ(redis_block_key("p:", "jane@example.org", "bob@b.example"),
            "p:16:jane@example.orgbob@b.example");
}

TEST(RedisKey, KeysOfOtherShapesAreNotBlockKeys) {
  for (const char* key : {"other:5:abcdef", "orvelt:", "orvelt:x:ab", "orvelt:9:abc", "orvelt::ab",
                          "orvelt:1234567890:a"}) {
    EXPECT_FALSE(redis_block_key_parts("orvelt:", key)) << key;
  }
}

TEST(RedisAddress, ParsesServersAndRefusesTheRest) {
  struct Case {
    const char* text;
    const char* host;
    int port;
    int db;
    const char* path;
  };
  const Case good[] = {
      {"redis://10.0.0.5", "10.0.0.5", 6379, 0, ""},
      {"redis://redis.example:6380", "redis.example", 6380, 0, ""},
      {"redis://h:1/15", "h", 1, 15, ""},
      {"redis://h/2", "h", 6379, 2, ""},
      {"redis://h/", "h", 6379, 0, ""},
      {"redis://[::1]:7000/1", "::1", 7000, 1, ""},
      {"unix:/run/redis/redis.sock", "", 6379, 0, "/run/redis/redis.sock"},
  };
  for (const Case& c : good) {
    const std::optional<RedisAddress> a = redis_parse_address(c.text);
    ASSERT_TRUE(a) << c.text;
    EXPECT_EQ(a->host, c.host) << c.text;
    EXPECT_EQ(a->port, c.port) << c.text;
    EXPECT_EQ(a->db, c.db) << c.text;
    EXPECT_EQ(a->path, c.path) << c.text;
  }
  for (const char* bad :
       {"gdbm", "redis://", "redis://:6379", "redis://h:0", "redis://h:65536", "redis://h:x",
        "redis://h/x", "redis://h/1/2", "rediss://h", "unix:", "unix:relative", "unix:/",
        "redis://[::1", "http://h", "redis://h:63790000"}) {
    EXPECT_FALSE(redis_parse_address(bad)) << bad;
  }
}

// The maker in a value: its second word.
std::string maker_of(const std::string& value) {
  const size_t start = value.find(' ') + 1;
  return value.substr(start, value.find(' ', start) - start);
}

// "<host>:<pid>.<n>" of this process, as a regular expression.
std::string maker_pattern() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string quoted;
  for (const char c : std::string(host)) {
    if (!isalnum(static_cast<unsigned char>(c))) quoted += '\\';
    quoted += c;
  }
  return quoted + ":" + std::to_string(getpid()) + "\\.[0-9]+";
}

class RedisBlock : public testing::Test {
 protected:
  void SetUp() override {
    config_set_defaults();
    redis_block_close();
  }
  // A new store, as the next run opens it: the connection goes with the
  // old one.
  void redis_block_close() {
    store = std::make_unique<RedisBlockStore>(g_config, redis_log_voice());
  }
  // A claim that must not fail.
  BlockClaim block_claim(const std::string& sender, const std::string& receiver) {
    Result<BlockClaim> claim = store->claim(sender, receiver);
    EXPECT_TRUE(claim.ok()) << claim.failure().reason;
    return claim.ok() ? *claim : BlockClaim{};
  }
  bool block_withdraw(const BlockClaim& claim, const std::string& sender,
                      const std::string& receiver) {
    return store->withdraw(claim, sender, receiver);
  }
  // blockstore set to these servers.
  void use(const StringList& servers) { g_config.blockstore = servers; }
  std::string key(const std::string& receiver, const std::string& sender) const {
    return redis_block_key(g_config.blockstore_prefix, receiver, sender);
  }

  std::unique_ptr<RedisBlockStore> store;
};

TEST_F(RedisBlock, ClaimsOnceAndRecordsTheTimeWithTheExpiry) {
  RedisServer server;
  use({server.url()});
  g_config.blockexpire = 2;
  LogCapture capture;
  const time_t before = time(nullptr);
  const BlockClaim first = block_claim("bob@b.example", "jane@example.org");
  EXPECT_TRUE(first.granted);
  ASSERT_TRUE(first.stored);
  const BlockClaim second = block_claim("bob@b.example", "jane@example.org");
  EXPECT_FALSE(second.granted);
  EXPECT_FALSE(second.stored);
  // Another receiver, another sender: keys of their own.
  EXPECT_TRUE(block_claim("bob@b.example", "joe@example.org").granted);
  EXPECT_TRUE(block_claim("ann@b.example", "jane@example.org").granted);

  const std::optional<std::string> value = server.get(key("jane@example.org", "bob@b.example"));
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, *first.stored);
  const std::optional<int64_t> stored = redis_block_time(*value);
  ASSERT_TRUE(stored);
  EXPECT_GE(*stored, before);
  EXPECT_LE(*stored, time(nullptr));
  // Pending, its key living as long as the lease.
  const int64_t lease = block_lease_seconds(g_config.mtatimeout);
  const std::string maker = maker_of(*value);
  EXPECT_THAT(maker, testing::MatchesRegex(maker_pattern()));
  EXPECT_EQ(*value, redis_block_value(BlockRecord{*stored, std::nullopt, "", lease}, maker));
  EXPECT_EQ(first.lease_ends, *stored + lease);
  long long ttl = server.ttl(key("jane@example.org", "bob@b.example"));
  EXPECT_GE(ttl, lease - 1);
  EXPECT_LE(ttl, lease + 1);
  // Confirmed: the full record, its key living for the period.
  store->confirm(first, "bob@b.example", "jane@example.org");
  EXPECT_EQ(server.get(key("jane@example.org", "bob@b.example")),
            redis_block_value(*stored, maker));
  ttl = server.ttl(key("jane@example.org", "bob@b.example"));
  EXPECT_GE(ttl, 2 * 3600 - 1);
  EXPECT_LE(ttl, 2 * 3600 + 1);
  EXPECT_FALSE(block_claim("bob@b.example", "jane@example.org").granted);
  EXPECT_EQ(server.keys().size(), 3u);
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(RedisBlock, PrefixUnixSocketAndDatabaseAreUsed) {
  RedisServer server;
  use({server.unix_url()});
  g_config.blockstore_prefix = "mx/";
  EXPECT_TRUE(block_claim("s", "r").granted);
  EXPECT_EQ(server.keys(), std::vector<std::string>{"mx/1:rs"});

  redis_block_close();
  use({server.url() + "/3"});
  EXPECT_TRUE(block_claim("s", "r").granted);  // another database
  const RedisOpened db3 = redis_open(server.url() + "/3", std::nullopt);
  ASSERT_TRUE(db3.connection) << db3.reason;
  const RedisReply keys = redis_command(db3.connection, {"KEYS", "*"});
  ASSERT_TRUE(keys && keys->type == REDIS_REPLY_ARRAY && keys->elements == 1);
  EXPECT_EQ(std::string(keys->element[0]->str, keys->element[0]->len), "mx/1:rs");
}

TEST_F(RedisBlock, BlockexpireZeroNeverConnects) {
  ClosedPort down;
  use({down.url()});
  g_config.blockexpire = 0;
  LogCapture capture;
  const BlockClaim claim = block_claim("s@x", "r@y");
  EXPECT_TRUE(claim.granted);
  EXPECT_FALSE(claim.stored);
  block_withdraw(claim, "s@x", "r@y");
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(RedisBlock, RefusesReceiversThatAreNoKeyOfTheirOwn) {
  RedisServer server;
  use({server.url()});
  LogCapture capture;
  for (const std::string& receiver :
       {std::string(), std::string("a\0b", 3), std::string(" r@y"), std::string("r@y ")}) {
    EXPECT_FALSE(block_claim("s@x", receiver).granted);
    EXPECT_TRUE(logged(capture.records(), LOG_WARNING,
                       "WARN/IO refusing block key for " + log_safe(receiver)))
        << receiver;
  }
  EXPECT_TRUE(server.keys().empty());
}

TEST_F(RedisBlock, WithdrawDeletesOnlyTheClaimsOwnValue) {
  RedisServer server;
  use({server.url()});
  LogCapture capture;
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.granted);
  block_withdraw(claim, "s@x", "r@y");
  EXPECT_TRUE(server.keys().empty());
  EXPECT_TRUE(block_claim("s@x", "r@y").granted);  // answered again

  // A key another run made since is left alone.
  const BlockClaim again = block_claim("t@x", "r@y");
  ASSERT_TRUE(again.granted);
  server.command({"SET", key("r@y", "t@x"), "1 other:1"});
  block_withdraw(again, "t@x", "r@y");
  EXPECT_EQ(server.get(key("r@y", "t@x")), "1 other:1");
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(RedisBlock, WithdrawFailureIsLoggedAndTheRunGoesOn) {
  auto server = std::make_unique<RedisServer>();
  const std::string url = server->url();
  use({url});
  LogCapture capture;
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.granted);
  server.reset();
  EXPECT_FALSE(block_withdraw(claim, "s@x", "r@y"));
  EXPECT_TRUE(
      logged(capture.records(), LOG_ERR, "CRIT/IO blockstore " + url + ": connection closed"))
      << capture.records().back().text;
}

TEST_F(RedisBlock, AnotherRunsPendingRecordHoldsForItsLeaseAndAFutureOneCountsAsNone) {
  RedisServer server;
  use({server.url()});
  const int64_t lease = block_lease_seconds(g_config.mtatimeout);
  enum Expect { kGranted, kBlocked, kPending };
  const struct Case {
    const char* name;
    BlockRecord record;  // its time relative to now
    const char* tag;     // the claim's
    Expect expect;
  } cases[] = {
      {"pending, just made", {0, std::nullopt, "", lease}, "", kPending},
      {"pending, its lease's last second", {-lease, std::nullopt, "", lease}, "", kPending},
      // A key that outlived its lease (set by hand, without an expiry).
      {"pending, its lease ran out", {-lease - 1, std::nullopt, "", lease}, "", kGranted},
      {"pending, of another text", {0, 7200, "e1", lease}, "e2", kPending},
      {"pending, dated two hours ahead", {7200, std::nullopt, "", lease}, "", kGranted},
      {"full", {-60, std::nullopt, "", std::nullopt}, "", kBlocked},
      {"full, of another text", {-60, std::nullopt, "e1", std::nullopt}, "e2", kGranted},
      {"full, dated half an hour ahead", {1800, std::nullopt, "", std::nullopt}, "", kBlocked},
      {"full, dated two hours ahead", {7200, std::nullopt, "", std::nullopt}, "", kGranted},
  };
  const std::string k = key("r@y", "box@host");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (;;) {
      const int64_t now = time(nullptr);
      BlockRecord record = c.record;
      record.time += now;
      const std::string before = redis_block_value(record, "mx9:77");
      server.command({"SET", k, before});
      redis_block_close();  // a run of its own
      LogCapture capture;
      const Result<BlockClaim> claim =
          store->claim(ClaimRequest{"box@host", "r@y", c.tag, std::nullopt});
      if (time(nullptr) != now) continue;
      EXPECT_TRUE(capture.records().empty());
      if (c.expect == kPending) {
        ASSERT_FALSE(claim.ok());
        EXPECT_EQ(claim.failure().kind, Outcome::kRetry);
        EXPECT_EQ(claim.failure().priority, LOG_ERR);
        EXPECT_EQ(claim.failure().reason,
                  "WARN/MAIL reply to box@host for r@y pending in another run");
        EXPECT_EQ(server.get(k), before);
        break;
      }
      ASSERT_TRUE(claim.ok()) << claim.failure().reason;
      EXPECT_EQ(claim->granted, c.expect == kGranted);
      if (c.expect == kGranted) {
        EXPECT_EQ(claim->previous, before);
        EXPECT_EQ(server.get(k), claim->stored);
        EXPECT_LE(server.ttl(k), lease + 1);
      } else {
        EXPECT_EQ(server.get(k), before);
      }
      break;
    }
  }
}

// Only the run that claimed is blocked by its pending record (its further
// texts); another run is stopped until the record is confirmed or gone.
TEST_F(RedisBlock, OwnPendingRecordBlocksItsOtherTextsAndStopsOtherRuns) {
  RedisServer server;
  use({server.url()});
  const ClaimRequest first{"s@x", "r@y", "e1", std::nullopt};
  const BlockClaim claim = *store->claim(first);
  ASSERT_TRUE(claim.granted);
  const Result<BlockClaim> second = store->claim(ClaimRequest{"s@x", "r@y", "e2", std::nullopt});
  ASSERT_TRUE(second.ok()) << second.failure().reason;
  EXPECT_FALSE(second->granted);
  RedisBlockStore other(g_config, redis_log_voice());
  EXPECT_FALSE(other.claim(first).ok());
  store->confirm(claim, "s@x", "r@y");
  const Result<BlockClaim> after = other.claim(first);
  ASSERT_TRUE(after.ok()) << after.failure().reason;
  EXPECT_FALSE(after->granted);
}

// The MTA may run for minutes: a connection killed meanwhile (or a server
// restarted) is made again for the confirmation and the withdrawal.
TEST_F(RedisBlock, ConfirmAndWithdrawReconnectOnceWhenTheConnectionWasLost) {
  RedisServer server;
  use({server.url()});
  LogCapture capture;
  const BlockClaim withdrawn = block_claim("s@x", "r@y");
  const BlockClaim confirmed = block_claim("t@x", "r@y");
  ASSERT_TRUE(withdrawn.stored && confirmed.stored);
  server.command({"CLIENT", "KILL", "TYPE", "normal"});
  EXPECT_TRUE(block_withdraw(withdrawn, "s@x", "r@y"));
  EXPECT_FALSE(server.get(key("r@y", "s@x")));
  server.command({"CLIENT", "KILL", "TYPE", "normal"});
  store->confirm(confirmed, "t@x", "r@y");
  const std::optional<std::string> full = server.get(key("r@y", "t@x"));
  ASSERT_TRUE(full);
  EXPECT_FALSE(redis_block_record(*full)->lease);
  EXPECT_GE(server.ttl(key("r@y", "t@x")), 48 * 3600 - 1);
  EXPECT_TRUE(capture.records().empty());
}

// orveltd's workers each have a store of their own: their values name
// makers of their own, so that no worker takes another's claim for its own.
// The "<host>:<pid>" of earlier values is read all the same.
TEST_F(RedisBlock, StoresOfOneProcessWriteMakersOfTheirOwn) {
  RedisServer server;
  use({server.url()});
  RedisBlockStore other(g_config, redis_log_voice());
  const BlockClaim mine = block_claim("s@x", "r@y");
  const Result<BlockClaim> theirs = other.claim("t@x", "r@y");
  ASSERT_TRUE(mine.stored && theirs.ok() && theirs->stored);
  EXPECT_THAT(maker_of(*mine.stored), testing::MatchesRegex(maker_pattern()));
  EXPECT_THAT(maker_of(*theirs->stored), testing::MatchesRegex(maker_pattern()));
  EXPECT_NE(maker_of(*mine.stored), maker_of(*theirs->stored));
  // Confirmed, the full record keeps its store's maker.
  store->confirm(mine, "s@x", "r@y");
  EXPECT_EQ(maker_of(*server.get(key("r@y", "s@x"))), maker_of(*mine.stored));

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string earlier =
      std::to_string(time(nullptr) - 60) + " " + host + ":" + std::to_string(getpid());
  server.command({"SET", key("r@y", "u@x"), earlier});
  const Result<BlockClaim> blocked = other.claim("u@x", "r@y");
  ASSERT_TRUE(blocked.ok()) << blocked.failure().reason;
  EXPECT_FALSE(blocked->granted);
  EXPECT_EQ(server.get(key("r@y", "u@x")), earlier);
}

// A confirmation whose retry fails too is lost: the failure, then the loss,
// both at priority err.
TEST_F(RedisBlock, ConfirmationThatFailsAgainOnAFreshConnectionIsLoggedAsLost) {
  auto server = std::make_unique<RedisServer>();
  const std::string url = server->url();
  use({url});
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.stored);
  server.reset();
  LogCapture capture;
  store->confirm(claim, "s@x", "r@y");
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{
                {LOG_WARNING, "WARN/IO blockstore " + url + " skipped: Connection refused"},
                {LOG_ERR, "CRIT/IO blockstore " + url + ": connection closed"},
                {LOG_ERR, "CRIT/IO blockstore: confirmation lost: s@x for r@y"}}));
}

// The reply went out: the new connection for its confirmation, from the
// first server on, is given five seconds in all, however many servers keep
// it waiting.
TEST_F(RedisBlock, TheConfirmationsRetryEndsWithinFiveSeconds) {
  RedisServer first(RedisOptions().password("pw"));
  RedisServer second(RedisOptions().password("pw"));
  use({first.url(), second.url()});
  g_config.blockstore_password = "pw";
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.stored && first.get(key("r@y", "s@x")));
  first.command({"CLIENT", "KILL", "TYPE", "normal"});
  first.stop();
  second.stop();
  LogCapture capture;
  const auto start = std::chrono::steady_clock::now();
  store->confirm(claim, "s@x", "r@y");
  const auto waited = std::chrono::steady_clock::now() - start;
  first.cont();
  second.cont();
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(6500));
  EXPECT_TRUE(
      logged(capture.records(), LOG_ERR, "CRIT/IO blockstore: confirmation lost: s@x for r@y"));
  // The claim's pending record stands, for its lease.
  const std::optional<std::string> pending = first.get(key("r@y", "s@x"));
  ASSERT_TRUE(pending);
  EXPECT_TRUE(redis_block_record(*pending)->lease);
}

// What an operator puts back after a lost confirmation: the full record of
// a reply made now, in place of whatever the pair had.
TEST_F(RedisBlock, RecordReplyWritesTheFullRecordOverAnyOther) {
  RedisServer server;
  use({server.url()});
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.stored);
  const int64_t now = time(nullptr);
  for (const char* sender : {"s@x", "t@x"}) {
    SCOPED_TRACE(sender);
    RedisBlockStore tool(g_config, redis_log_voice());
    const Outcome recorded = tool.record_reply("r@y", sender, now);
    ASSERT_TRUE(recorded.ok()) << recorded.reason;
    const std::optional<std::string> value = server.get(key("r@y", sender));
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, redis_block_value(BlockRecord{now, std::nullopt, {}, std::nullopt},
                                        maker_of(*value)));
    EXPECT_GE(server.ttl(key("r@y", sender)), 48 * 3600 - 1);
    EXPECT_LE(server.ttl(key("r@y", sender)), 48 * 3600 + 1);
    RedisBlockStore next_run(g_config, redis_log_voice());
    const Result<BlockClaim> again =
        next_run.claim(ClaimRequest{sender, "r@y", "e7", std::nullopt});
    ASSERT_TRUE(again.ok()) << again.failure().reason;
    EXPECT_FALSE(again->granted);
  }
  ClosedPort down;
  use({down.url()});
  RedisBlockStore unreachable(g_config, redis_log_voice());
  LogCapture capture;
  EXPECT_FALSE(unreachable.record_reply("r@y", "s@x", now).ok());
}

// The connection lost and the claim's server gone: the next server has no
// such key, which proves nothing of the claim; the withdrawal failed.
TEST_F(RedisBlock, WithdrawThatReachesOnlyAnotherServerHasFailed) {
  auto first = std::make_unique<RedisServer>();
  RedisServer second;
  const std::string url = first->url();
  use({url, second.url()});
  const BlockClaim claim = block_claim("s@x", "r@y");
  ASSERT_TRUE(claim.stored && first->get(key("r@y", "s@x")));
  first.reset();
  LogCapture capture;
  EXPECT_FALSE(block_withdraw(claim, "s@x", "r@y"));
  EXPECT_TRUE(
      logged(capture.records(), LOG_ERR, "CRIT/IO blockstore " + url + ": connection closed"));
  EXPECT_TRUE(second.keys().empty());
}

TEST_F(RedisBlock, ServersThatAreDownSilentOrReplicasAreSkippedInOrder) {
  RedisServer primary;
  RedisServer replica(RedisOptions().replica_of(primary));
  ClosedPort down;
  use({"redis:/typo", down.url(), replica.url(), primary.url()});
  LogCapture capture;
  EXPECT_TRUE(block_claim("s@x", "r@y").granted);
  EXPECT_FALSE(block_claim("s@x", "r@y").granted);  // the connection is kept
  const std::vector<LogRecord> expected = {
      {LOG_WARNING, "WARN/IO blockstore redis:/typo skipped: not a redis:// or unix: address"},
      {LOG_WARNING, "WARN/IO blockstore " + down.url() + " skipped: Connection refused"},
      {LOG_WARNING, "WARN/IO blockstore " + replica.url() +
                        " skipped: READONLY You can't write against a read only replica."},
  };
  EXPECT_EQ(capture.records(), expected);
  EXPECT_TRUE(primary.get(key("r@y", "s@x")));
}

TEST_F(RedisBlock, AServerThatDoesNotAnswerIsSkippedAfterFiveSeconds) {
  RedisServer silent;
  RedisServer second;
  use({silent.url(), second.url()});
  silent.stop();
  LogCapture capture;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(block_claim("s@x", "r@y").granted);
  const auto waited = std::chrono::steady_clock::now() - start;
  silent.cont();
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(8));
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_WARNING, "WARN/IO blockstore " + silent.url() +
                                                      " skipped: no answer within 5 seconds"}}));
  EXPECT_TRUE(second.get(key("r@y", "s@x")));
}

TEST_F(RedisBlock, NoUsableServerStopsTheRun) {
  ClosedPort down;
  RedisServer primary;
  RedisServer replica(RedisOptions().replica_of(primary));
  use({down.url(), replica.url()});
  LogCapture capture;
  const Result<BlockClaim> claim = store->claim("s@x", "r@y");
  ASSERT_FALSE(claim.ok());
  EXPECT_EQ(claim.failure().kind, Outcome::kRetry);
  EXPECT_EQ(claim.failure().priority, LOG_ERR);
  EXPECT_EQ(claim.failure().reason, "CRIT/IO blockstore: no server usable");
  ASSERT_EQ(capture.records().size(), 2u);
  EXPECT_EQ(capture.records()[0], (LogRecord{LOG_WARNING, "WARN/IO blockstore " + down.url() +
                                                              " skipped: Connection refused"}));
  EXPECT_THAT(capture.records()[1].text,
              testing::StartsWith("WARN/IO blockstore " + replica.url() + " skipped: READONLY"));
  EXPECT_TRUE(primary.keys().empty());
}

TEST_F(RedisBlock, ARefusedPasswordStopsTheRunWithoutTryingTheNextServer) {
  RedisServer locked(RedisOptions().password("right"));
  RedisServer open;
  struct Case {
    const char* name;
    OptionalText password;
    const char* reply_start;
  };
  const Case cases[] = {
      {"wrong password", std::string("wrong"), "WRONGPASS "},
      {"no password", std::nullopt, "NOAUTH "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    use({locked.url(), open.url()});
    g_config.blockstore_password = c.password;
    redis_block_close();
    LogCapture capture;
    const Result<BlockClaim> claim = store->claim("s@x", "r@y");
    ASSERT_FALSE(claim.ok());
    // A fault of the configuration: no other server is tried.
    EXPECT_EQ(claim.failure().kind, Outcome::kConfigError);
    EXPECT_EQ(claim.failure().priority, LOG_ERR);
    EXPECT_THAT(claim.failure().reason,
                testing::StartsWith("CRIT/IO blockstore " + locked.url() + ": " + c.reply_start));
    EXPECT_TRUE(capture.records().empty());
  }
  EXPECT_TRUE(open.keys().empty());

  g_config.blockstore_password = "right";
  redis_block_close();
  EXPECT_TRUE(block_claim("s@x", "r@y").granted);
  EXPECT_TRUE(locked.get(key("r@y", "s@x")));
}

TEST_F(RedisBlock, OpeningTheStoreOfTheConfigurationDoesNoIo) {
  ClosedPort down;
  use({down.url()});
  LogCapture capture;
  std::unique_ptr<BlockStore> opened = block_store_open(g_config);
  ASSERT_NE(dynamic_cast<RedisBlockStore*>(opened.get()), nullptr);
  EXPECT_TRUE(capture.records().empty());  // not even tried yet
  const Result<BlockClaim> claim = opened->claim("s@x", "r@y");
  ASSERT_FALSE(claim.ok());
  EXPECT_EQ(claim.failure().reason, "CRIT/IO blockstore: no server usable");
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_WARNING, "WARN/IO blockstore " + down.url() +
                                                      " skipped: Connection refused"}}));

  g_config.blockstore.clear();
  EXPECT_EQ(dynamic_cast<RedisBlockStore*>(block_store_open(g_config).get()), nullptr);
}

// Gathers the records a walk hands on.
class Gathered : public BlockWalker {
 public:
  bool record(const BlockEntry& e) override {
    lines.push_back(e.receiver + "|" + e.sender + "|" +
                    (e.time ? std::to_string(*e.time) : "unreadable: " + e.problem));
    return true;
  }
  void unreadable(const std::string& where, const std::string&) override {
    lines.push_back("! " + where);
  }
  std::vector<std::string> lines;
};

TEST_F(RedisBlock, ImportWalkAndRemoveGoThroughTheSameKeys) {
  RedisServer server;
  use({server.url()});
  const int64_t now = time(nullptr);
  const struct Case {
    const char* sender;
    int64_t time;
    BlockImport result;
  } cases[] = {
      {"recent@x", now - 3600, BlockImport::kImported},
      {"old@x", now - 49 * 3600, BlockImport::kExpired},
      {"corrupt@x", INT64_MIN, BlockImport::kExpired},  // as the block files judge it
      {"recent@x", now, BlockImport::kPresent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sender);
    const Result<BlockImport> imported = store->import("r@y", c.sender, c.time, now);
    ASSERT_TRUE(imported.ok()) << imported.failure().reason;
    EXPECT_EQ(*imported, c.result);
  }
  EXPECT_EQ(server.get(key("r@y", "recent@x")), std::to_string(now - 3600) + " import");
  // What is left of the period, and no more.
  EXPECT_GE(server.ttl(key("r@y", "recent@x")), 47 * 3600 - 5);
  EXPECT_LE(server.ttl(key("r@y", "recent@x")), 47 * 3600 + 1);
  // A claimed pair is blocked by the imported record.
  EXPECT_FALSE(block_claim("recent@x", "r@y").granted);
  const BlockClaim claimed = block_claim("a@x", "q@y");
  ASSERT_TRUE(claimed.stored);
  const std::optional<int64_t> claimed_at = redis_block_time(*claimed.stored);
  ASSERT_TRUE(claimed_at);
  server.command({"SET", key("q@y", "bad@x"), "soon"});
  server.command({"SET", "orvelt:junk", "1"});

  Gathered walked;
  ASSERT_TRUE(store->walk(walked).ok());
  EXPECT_EQ(walked.lines, (std::vector<std::string>{"q@y|a@x|" + std::to_string(*claimed_at),
                                                    "q@y|bad@x|unreadable: not a reply time",
                                                    "r@y|recent@x|" + std::to_string(now - 3600)}));

  const Result<bool> removed = store->remove("r@y", "recent@x");
  ASSERT_TRUE(removed.ok());
  EXPECT_TRUE(*removed);
  EXPECT_FALSE(*store->remove("r@y", "recent@x"));
  EXPECT_TRUE(block_claim("recent@x", "r@y").granted);
}

// The records of one receiver: the glob characters of the prefix and of the
// receiver match only themselves, so no other receiver's key comes along,
// even one whose address the pattern would match unescaped.
TEST_F(RedisBlock, RecordsOfOneReceiverAreItsOwnKeysAlone) {
  RedisServer server;
  use({server.url()});
  g_config.blockstore_prefix = "mx*[1]:";
  const std::vector<std::string> receivers = {"a*@x", "a?@x", "[ab]@x", "a\\@x"};
  const std::vector<std::string> others = {"ab@x", "aa@x", "a@x", "b@x", "a*@xy", "*"};
  for (const std::string& receiver : receivers) {
    server.command({"SET", key(receiver, "old@s"), "5 import"});
  }
  for (const std::string& other : others) {
    server.command({"SET", key(other, "old@s"), "6 import"});
  }
  // A pending record, one confirmed under its own interval and tag, one
  // that is no record, and a key of another shape.
  const BlockClaim pending = block_claim("pending@s", "a*@x");
  ASSERT_TRUE(pending.granted);
  const Result<BlockClaim> full = store->claim(ClaimRequest{"full@s", "a*@x", "e9", 3});
  ASSERT_TRUE(full.ok() && full->granted);
  store->confirm(*full, "full@s", "a*@x");
  server.command({"SET", key("a*@x", "bad@s"), "soon"});
  server.command({"SET", "mx*[1]:4:a*@", "1"});

  LogCapture capture;
  for (const std::string& receiver : receivers) {
    SCOPED_TRACE(receiver);
    const Result<std::vector<BlockEntry>> records = store->records_of(receiver);
    ASSERT_TRUE(records.ok()) << records.failure().reason;
    std::vector<std::string> senders;
    for (const BlockEntry& e : *records) {
      EXPECT_EQ(e.receiver, receiver);
      senders.push_back(e.sender);
    }
    if (receiver != "a*@x") {
      EXPECT_EQ(senders, std::vector<std::string>{"old@s"});
      continue;
    }
    EXPECT_EQ(senders, (std::vector<std::string>{"bad@s", "full@s", "old@s", "pending@s"}));
    ASSERT_EQ(records->size(), 4u);
    EXPECT_FALSE((*records)[0].time);
    EXPECT_EQ((*records)[0].problem, "not a reply time");
    const BlockEntry& confirmed = (*records)[1];
    EXPECT_EQ(confirmed.period, 3 * 3600);
    EXPECT_EQ(confirmed.tag, "e9");
    EXPECT_FALSE(confirmed.lease);
    EXPECT_EQ((*records)[2].time, 5);
    const BlockEntry& claimed = (*records)[3];
    EXPECT_EQ(claimed.lease, block_lease_seconds(g_config.mtatimeout));
    ASSERT_TRUE(claimed.time);
    EXPECT_EQ(*claimed.time + *claimed.lease, pending.lease_ends);
  }
  const Result<std::vector<BlockEntry>> none = store->records_of("nobody@x");
  ASSERT_TRUE(none.ok()) << none.failure().reason;
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(RedisBlock, RecordsOfAReceiverWithoutAServerAreAFailure) {
  const ClosedPort closed;
  use({closed.url()});
  LogCapture capture;
  const Result<std::vector<BlockEntry>> records = store->records_of("r@y");
  ASSERT_FALSE(records.ok());
  EXPECT_EQ(records.failure().priority, LOG_ERR);
  EXPECT_EQ(records.failure().reason, "CRIT/IO blockstore: no server usable");
}

}  // namespace
