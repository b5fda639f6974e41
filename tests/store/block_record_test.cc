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
