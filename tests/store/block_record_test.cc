// The block record's one expiry rule, its receiver check and its Redis
// value, as both stores and orvelt-db use them.
#include "store/block_record.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "store/gdbm_block_store.h"

namespace {

constexpr int64_t kNow = 1'700'000'000;
constexpr int64_t kPeriod = 48 * 3600;

TEST(BlockExpiry, SecondsLeftAgreeWithTheExpiryRule) {
  const struct Case {
    const char* name;
    int64_t stored;
    int64_t left;
  } cases[] = {
      {"made now: the period and the second it was made in", kNow, kPeriod + 1},
      {"one second old", kNow - 1, kPeriod},
      {"exactly the period old: still blocks", kNow - kPeriod, 1},
      {"one second more: expired", kNow - kPeriod - 1, 0},
      {"in the future: counts as now", kNow + 3600, kPeriod + 1},
      {"far in the future", INT64_MAX, kPeriod + 1},
      {"far in the past, beyond 64 bits from now", INT64_MIN, 0},
      {"the epoch", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(block_seconds_left(c.stored, kNow, kPeriod), c.left);
    EXPECT_EQ(block_time_expired(c.stored, kNow, kPeriod), c.left == 0);
  }
  // The longest period the directive can give fits.
  const int64_t longest = block_period_seconds(INT_MAX);
  EXPECT_EQ(longest, int64_t{INT_MAX} * 3600);
  EXPECT_EQ(block_seconds_left(kNow, kNow, longest), longest + 1);
  EXPECT_EQ(block_seconds_left(kNow - longest - 1, kNow, longest), 0);
}

TEST(BlockReceiver, OneCheckForBothStores) {
  const struct Case {
    std::string receiver;
    bool acceptable;  // a record of its own in either store
    bool file;        // and a block file
  } cases[] = {
      {"jane@site", true, true},    {"a b@c", true, true},
      {"..a@b..c", true, true},     {"a/b@site", true, false},  // a key on Redis, no file name
      {"..", true, false},          {std::string(NAME_MAX + 1, 'x'), true, false},
      {"", false, false},           {" jane@site", false, false},
      {"jane@site ", false, false}, {std::string("ja\0ne@site", 10), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.receiver);
    EXPECT_EQ(block_receiver_acceptable(c.receiver), c.acceptable);
    EXPECT_EQ(block_file_path("/var/block", c.receiver).has_value(), c.file);
  }
}

TEST(RedisBlockValue, TheTimeReadsBackWhoeverMadeIt) {
  for (const char* maker : {"mx1:4242", "import", ""}) {
    SCOPED_TRACE(maker);
    EXPECT_EQ(redis_block_time(redis_block_value(kNow, maker)), kNow);
  }
  EXPECT_EQ(redis_block_value(kNow, "import"), "1700000000 import");
  for (const char* bad : {"", " 17", "x17 mx", "-5 mx", "1234567890123456789 mx"}) {
    EXPECT_FALSE(redis_block_time(bad)) << bad;
  }
}

}  // namespace

// Both stores' values with and without the fields that follow the time:
// what is written reads back, and what the earlier format and the older
// tools read (the first 8 bytes, the first number) stays where it was.
TEST(BlockRecordFields, WrittenValuesReadBackAndKeepTheTimeWhereItWas) {
  const BlockRecord cases[] = {
      {kNow, std::nullopt, "", std::nullopt},
      {kNow, 7200, "", std::nullopt},
      {kNow, std::nullopt, "e0123456789abcdef", std::nullopt},
      {kNow, 0, "i00000000000000ff", std::nullopt},
      {-5, 3600 * 1440, "e0000000000000000", std::nullopt},
      {kNow, 7200, "e0123456789abcdef", 90},
  };
  for (const BlockRecord& c : cases) {
    SCOPED_TRACE(std::to_string(c.time) + " " + c.tag);
    const std::string gdbm = gdbm_block_value(c);
    EXPECT_EQ(decode_block_time(gdbm), c.time);
    const std::optional<BlockRecord> from_gdbm = gdbm_block_record(gdbm);
    ASSERT_TRUE(from_gdbm);
    EXPECT_EQ(from_gdbm->time, c.time);
    EXPECT_EQ(from_gdbm->period, c.period);
    EXPECT_EQ(from_gdbm->tag, c.tag);

    const std::string redis = redis_block_value(c, "mx1:42");
    EXPECT_EQ(redis_block_time(redis), c.time < 0 ? std::nullopt : std::optional(c.time));
    EXPECT_TRUE(redis.starts_with(redis_block_value(c.time, "mx1:42")));
    if (c.time < 0) continue;
    const std::optional<BlockRecord> from_redis = redis_block_record(redis);
    ASSERT_TRUE(from_redis);
    EXPECT_EQ(from_redis->period, c.period);
    EXPECT_EQ(from_redis->tag, c.tag);
  }
  // Without fields the values are exactly the earlier ones.
  EXPECT_EQ(gdbm_block_value({kNow, std::nullopt, ""}), encode_block_time(kNow));
  EXPECT_EQ(redis_block_value({kNow, std::nullopt, ""}, "import"),
            redis_block_value(kNow, "import"));
  EXPECT_EQ(redis_block_value({kNow, 7200, "e1"}, "import"),
            std::to_string(kNow) + " import p=7200 t=e1");
}

TEST(BlockRecordFields, OldAndStrangeValuesReadSafely) {
  const struct Case {
    const char* name;
    std::string redis;
    bool readable;
    std::optional<int64_t> period;
    std::string tag;
  } cases[] = {
      {"the earlier value", std::to_string(kNow) + " mx:1", true, std::nullopt, ""},
      {"a time alone", std::to_string(kNow), true, std::nullopt, ""},
      {"unknown fields passed over", std::to_string(kNow) + " mx:1 x=1 t=eab", true, std::nullopt,
       "eab"},
      {"a period that is no number", std::to_string(kNow) + " mx:1 p=soon t=e1", true, std::nullopt,
       "e1"},
      {"an empty tag", std::to_string(kNow) + " mx:1 t=", true, std::nullopt, ""},
      {"no time", "mx:1 t=e1", false, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<BlockRecord> record = redis_block_record(c.redis);
    ASSERT_EQ(record.has_value(), c.readable);
    if (!record) continue;
    EXPECT_EQ(record->time, kNow);
    EXPECT_EQ(record->period, c.period);
    EXPECT_EQ(record->tag, c.tag);
  }
  EXPECT_FALSE(gdbm_block_record("short"));
  const std::optional<BlockRecord> noisy = gdbm_block_record(encode_block_time(kNow) + "garbage");
  ASSERT_TRUE(noisy);
  EXPECT_EQ(noisy->time, kNow);
  EXPECT_EQ(noisy->tag, "");
}

// A record blocks within its period unless it answered another text; one
// without a tag, or a claim that does not weigh the text, blocks any text.
TEST(BlockRecordFields, AnotherTextEndsTheBlockAnUntaggedRecordNever) {
  const struct Case {
    const char* name;
    int64_t age;
    std::string record_tag;
    std::string claim_tag;
    bool blocks;
  } cases[] = {
      {"same text", 60, "e1", "e1", true},
      {"another text", 60, "e1", "e2", false},
      {"the internal text of the same words", 60, "e1", "i1", false},
      {"record without tag", 60, "", "e2", true},
      {"text not weighed", 60, "e1", "", true},
      {"expired, same text", kPeriod + 1, "e1", "e1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BlockRecord record{kNow - c.age, std::nullopt, c.record_tag};
    EXPECT_EQ(block_record_blocks(record, kNow, kPeriod, c.claim_tag), c.blocks);
  }
}

TEST(BlockTextTag, StableAndTellsTextsAndKindsApart) {
  // FNV-1a 64 of the empty text and of "a": fixed for every host and release.
  EXPECT_EQ(block_text_tag("", false), "ecbf29ce484222325");
  EXPECT_EQ(block_text_tag("a", true), "iaf63dc4c8601ec8c");
  EXPECT_NE(block_text_tag("I am away.", false), block_text_tag("I am away!", false));
  EXPECT_EQ(block_text_tag("I am away.", false).substr(1),
            block_text_tag("I am away.", true).substr(1));
  EXPECT_EQ(block_text_tag(std::string("a\0b", 3), false).size(), 17u);
}

TEST(BlockInterval, WholeNumbersClampedOthersFallBack) {
  const struct Case {
    const char* name;
    OptionalText value;
    int hours;
    bool own;
    bool bad;
  } cases[] = {
      {"absent", std::nullopt, 48, false, false},
      {"two", "2", 2, true, false},
      {"blanks around", " 12 ", 12, true, false},
      {"zero raised to the least", "0", 1, true, false},
      {"above the most", "5000", 1440, true, false},
      {"beyond 64 bits", "99999999999999999999999", 1440, true, false},
      {"negative", "-3", 1, true, false},
      {"not a number", "soon", 48, false, true},
      {"a fraction", "1.5", 48, false, true},
      {"empty", "", 48, false, true},
      {"a sign alone", "-", 48, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BlockInterval interval = block_interval_of(c.value, 48, 1, 1440);
    EXPECT_EQ(interval.hours, c.hours);
    EXPECT_EQ(interval.own, c.own);
    EXPECT_EQ(interval.bad, c.bad);
  }
  // A site that lets people have every message answered.
  EXPECT_EQ(block_interval_of("0", 48, 0, 1440).hours, 0);
  // blockexpire itself is not clamped.
  EXPECT_EQ(block_interval_of(std::nullopt, 5000, 1, 1440).hours, 5000);
}
