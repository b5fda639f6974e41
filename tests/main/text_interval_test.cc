// Block records that know the text they answered and the receiver's own
// interval: the built program against the real directory, with the block
// files and with a real Redis server, and the recording MTA.
#include <syslog.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "store/block_record.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/redis_server.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr const char* kSender = "box@host";

std::string message(const std::string& to) {
  return "From: " + std::string(kSender) + "\nTo: " + to + "\nSubject: Lunch?\n\nAre you free?\n";
}

std::string interval_line(const std::string& hours) { return "vacationInterval: " + hours + "\n"; }

// Which store a case runs against.
enum class Store { kGdbm, kRedis };
const char* store_name(Store store) { return store == Store::kGdbm ? "gdbm" : "redis"; }

class TextIntervalTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    slapd_ = std::make_unique<SlapdServer>(SlapdOptions().entries(
        ldif_people_unit() + ldif_person("edit", "edit@site", "TRUE", {"First text.\n"}) +
        ldif_person("old", "old@site", "TRUE", {"Away.\n"}) +
        ldif_person("twin1", "twin@site", "TRUE", {"Twin one.\n"}) +
        ldif_person("twin2", "twin@site", "TRUE", {"Twin two.\n"}) +
        ldif_person("zero", "zero@site", "TRUE", {"Zero.\n"}, interval_line("0")) +
        ldif_person("two", "two@site", "TRUE", {"Two.\n"}, interval_line("2")) +
        ldif_person("none", "none@site", "TRUE", {"None.\n"}) +
        ldif_person("huge", "huge@site", "TRUE", {"Huge.\n"}, interval_line("5000")) +
        ldif_person("bad", "bad@site", "TRUE", {"Bad.\n"}, "description: soon\n")));
  }
  static void TearDownTestSuite() { slapd_.reset(); }

  void SetUp() override { std::filesystem::create_directories(blockdir_); }

  // The configuration for store, with the directives given.
  TestConfig config(Store store) const {
    TestConfig c(*slapd_, blockdir_);
    if (store == Store::kRedis) c.set("blockstore", redis_.url());
    return c;
  }

  ProgramResult run(const TestConfig& config, const std::string& to) const {
    ProgramRun run;
    run.args = {"-c", config.write(dir_, "orvelt-" + std::to_string(++configs_) + ".cfg")};
    run.stdin_text = message(to);
    return run_program(run);
  }

  // The record of the sender for receiver as the store holds it; none when
  // there is none.
  std::optional<BlockRecord> record(Store store, const std::string& receiver) const {
    if (store == Store::kRedis) {
      const std::optional<std::string> value =
          redis_.get(redis_block_key("orvelt:", receiver, kSender));
      return value ? redis_block_record(*value) : std::nullopt;
    }
    const std::string path = blockdir_ + "/" + receiver;
    if (!std::filesystem::exists(path)) return std::nullopt;
    const auto records = read_gdbm(path);
    const auto found = records.find(std::string(kSender) + '\0');
    if (found == records.end()) return std::nullopt;
    return gdbm_block_record(found->second);
  }

  // Seconds the store keeps the record of the sender for receiver blocking:
  // its own period in a block file (none: blockexpire), the key's time to
  // live on Redis.
  std::optional<int64_t> blocking_seconds(Store store, const std::string& receiver) const {
    if (store == Store::kRedis) return redis_.ttl(redis_block_key("orvelt:", receiver, kSender));
    const std::optional<BlockRecord> r = record(store, receiver);
    return r ? r->period : std::nullopt;
  }

  static inline std::unique_ptr<SlapdServer> slapd_;
  RedisServer redis_;
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
  mutable int configs_ = 0;
};

// The text is changed in the directory between runs: with track_text the
// sender is answered again, once, and the record then holds the new text's
// tag; without it the old record blocks the new text.
TEST_F(TextIntervalTest, AChangedTextIsAnsweredAgainOnceAndTheSameTextStaysBlocked) {
  for (const Store store : {Store::kGdbm, Store::kRedis}) {
    for (const bool track : {true, false}) {
      SCOPED_TRACE(std::string(store_name(store)) + (track ? " track_text yes" : " no"));
      const std::string receiver = "edit@site";  // the one entry, its text set each round
      slapd_->add(
          "dn: uid=edit,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: "
          "vacationInfo\nvacationInfo: First text.\n");
      const TestConfig c = config(store).set("track_text", track ? "yes" : "no");
      if (store == Store::kRedis) redis_.command({"FLUSHALL"});
      std::filesystem::remove_all(blockdir_);
      std::filesystem::create_directories(blockdir_);

      RecordingMta mta;
      EXPECT_EQ(run(c, receiver).exit_status, 0);
      EXPECT_EQ(run(c, receiver).exit_status, 0);  // the same text: blocked
      ASSERT_EQ(mta.calls().size(), 1u);
      const std::optional<BlockRecord> first = record(store, receiver);
      ASSERT_TRUE(first);
      EXPECT_EQ(first->tag, track ? block_text_tag("First text.", false) : "");

      slapd_->add(
          "dn: uid=edit,ou=people,dc=example,dc=org\nchangetype: modify\nreplace: "
          "vacationInfo\nvacationInfo: Second text.\n");
      EXPECT_EQ(run(c, receiver).exit_status, 0);
      EXPECT_EQ(run(c, receiver).exit_status, 0);
      const auto calls = mta.calls();
      ASSERT_EQ(calls.size(), track ? 2u : 1u);
      if (track) {
        EXPECT_NE(calls[1].stdin_text.find("Second text."), std::string::npos);
        EXPECT_EQ(record(store, receiver)->tag, block_text_tag("Second text.", false));
      }
    }
  }
}

// Records written before texts were told apart hold no tag: they block
// whatever text is sent now, so turning track_text on answers nobody twice.
TEST_F(TextIntervalTest, ARecordWithoutTagStillBlocks) {
  const int64_t now = time(nullptr) - 60;
  std::string gdbm_value(sizeof now, '\0');
  memcpy(gdbm_value.data(), &now, sizeof now);
  store_gdbm_record(blockdir_ + "/old@site", std::string(kSender) + '\0', gdbm_value);
  redis_.command({"SET", redis_block_key("orvelt:", "old@site", kSender),
                  std::to_string(now) + " mx0:4711", "EX", "3600"});
  for (const Store store : {Store::kGdbm, Store::kRedis}) {
    SCOPED_TRACE(store_name(store));
    RecordingMta mta;
    const ProgramResult r = run(config(store).set("track_text", "yes"), "old@site");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(logged(r.log, LOG_DEBUG, "DEBUG/MAIL blocked: box@host & old@site"));
  }
}

// Two entries of one receiver with different texts: the first reply's
// record blocks the second text within the run, whatever its tag.
TEST_F(TextIntervalTest, TwoTextsOfOneReceiverSendOneReplyPerRun) {
  for (const Store store : {Store::kGdbm, Store::kRedis}) {
    SCOPED_TRACE(store_name(store));
    RecordingMta mta;
    const ProgramResult r = run(config(store).set("track_text", "yes"), "twin@site");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(mta.calls().size(), 1u);
  }
}

// The receiver's own interval decides how long a reply blocks, clamped to
// the bounds; without the attribute, or with a value that is no number,
// blockexpire does (the latter logged).
TEST_F(TextIntervalTest, OwnIntervalsAreClampedAndFallBackToBlockexpire) {
  const struct Case {
    const char* receiver;
    const char* attribute;
    const char* min;
    size_t replies;                 // to two messages
    std::optional<int64_t> period;  // the record's own period; none: blockexpire
    bool warned;
  } cases[] = {
      {"zero@site", "vacationInterval", "0", 2, std::nullopt, false},
      {"zero@site", "vacationInterval", "1", 1, 3600, false},
      {"two@site", "vacationInterval", "1", 1, 2 * 3600, false},
      {"huge@site", "vacationInterval", "1", 1, 1440 * 3600, false},
      {"none@site", "vacationInterval", "1", 1, std::nullopt, false},
      {"bad@site", "description", "1", 1, std::nullopt, true},
  };
  for (const Store store : {Store::kGdbm, Store::kRedis}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(store_name(store)) + " " + c.receiver + " min " + c.min);
      redis_.command({"FLUSHALL"});
      std::filesystem::remove_all(blockdir_);
      std::filesystem::create_directories(blockdir_);
      const TestConfig conf = config(store)
                                  .set("blockexpire", "48")
                                  .set("blockexpire_attribute", c.attribute)
                                  .set("blockexpire_min", c.min)
                                  .set("loglevel", "1");
      RecordingMta mta;
      const ProgramResult r = run(conf, c.receiver);
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_EQ(run(conf, c.receiver).exit_status, 0);
      EXPECT_EQ(mta.calls().size(), c.replies);
      EXPECT_EQ(logged(r.log, LOG_WARNING, std::string("WARN/LDAP bad interval for ") + c.receiver),
                c.warned);
      if (c.replies == 2) {
        EXPECT_FALSE(record(store, c.receiver)) << "an interval of 0 writes no record";
        continue;
      }
      ASSERT_TRUE(record(store, c.receiver));
      const std::optional<int64_t> seconds = blocking_seconds(store, c.receiver);
      if (store == Store::kGdbm) {
        EXPECT_EQ(seconds, c.period);
      } else {
        const int64_t expected = c.period.value_or(48 * 3600);
        ASSERT_TRUE(seconds);
        EXPECT_GE(*seconds, expected - 5);
        EXPECT_LE(*seconds, expected + 1);
        EXPECT_EQ(record(store, c.receiver)->period, c.period);
      }
    }
  }
}

// A record made under a two-hour interval stops blocking after two hours,
// whatever blockexpire says: the file's record is moved back in time.
TEST_F(TextIntervalTest, AnOwnIntervalEndsTheBlockInTheBlockFiles) {
  const TestConfig conf = config(Store::kGdbm).set("blockexpire_attribute", "vacationInterval");
  RecordingMta mta;
  EXPECT_EQ(run(conf, "two@site").exit_status, 0);
  std::optional<BlockRecord> made = record(Store::kGdbm, "two@site");
  ASSERT_TRUE(made);
  made->time -= 2 * 3600 + 1;
  store_gdbm_record(blockdir_ + "/two@site", std::string(kSender) + '\0', gdbm_block_value(*made));
  EXPECT_EQ(run(conf, "two@site").exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 2u);
}

}  // namespace
