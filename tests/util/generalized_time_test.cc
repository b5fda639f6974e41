#include "util/generalized_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(GeneralizedTime, ValidForms) {
  struct Case {
    std::string text;
    time_t expected;
  } cases[] = {
      {"20261228000000Z", 1798416000},
      {"202612280000Z", 1798416000},
      {"2026122800Z", 1798416000},
      {"20261224235959Z", 1798156799},
      // Offsets: the local time of a zone east of UTC is ahead of UTC.
      {"20261224235959+0100", 1798153199},
      {"20261224235959-0530", 1798176599},
      {"2026122423+01", 1798149600},
      {"20261224235959+0000", 1798156799},
      {"20261224235959-00", 1798156799},
      // A fraction is a part of the last field, cut to whole seconds.
      {"20261224235959.5Z", 1798156799},
      {"20261224235959,999999999999Z", 1798156799},
      {"2026122423.5Z", 1798155000},
      {"202612242359.25Z", 1798156755},
      {"20261224235959.5+0100", 1798153199},
      {"20240229120000Z", 1709208000},
      // A leap second is the first second of the next minute.
      {"20161231235960Z", 1483228800},
      {"19700101000000Z", 0},
      {"19691231235959Z", -1},
      {"00000101000000Z", -62167219200},
      {"99991231235959Z", 253402300799},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<time_t> parsed = parse_generalized_time(c.text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, c.expected);
  }
}

TEST(GeneralizedTime, InvalidForms) {
  const std::string cases[] = {
      "",
      "2026",
      "20261228",
      "20261228000000",  // a local time without a zone
      "20261228000000z",
      "2026122800000Z",
      "202612280Z",
      "20261328000000Z",
      "20260028000000Z",
      "20261200000000Z",
      "20261232000000Z",
      "20260230000000Z",
      "20250229120000Z",
      "21000229120000Z",
      "20261228240000Z",
      "20261228006000Z",
      "20261228000061Z",
      "20261228000000+1",
      "20261228000000+013",
      "20261228000000+01000",
      "20261228000000+2400",
      "20261228000000+0160",
      "20261228000000+01:00",
      "20261228000000Z ",
      " 20261228000000Z",
      "20261228000000ZZ",
      "20261228000000.Z",
      "20261228000000.5",
      "2026122800.Z",
      "2026-12-28",
      "2026-12-28T00:00:00Z",
      "+2026122800Z",
      "next week",
      std::string("2026122800\0Z", 12),
      std::string("2026122800Z\0", 12),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_generalized_time(text));
  }
}

TEST(GeneralizedTime, UtcText) {
  struct Case {
    time_t t;
    std::string expected;
  } cases[] = {
      {0, "19700101000000Z"},
      {-1, "19691231235959Z"},
      {1798156799, "20261224235959Z"},
      {253402300799, "99991231235959Z"},
      {253402300800, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.t);
    EXPECT_EQ(generalized_time_utc(c.t), c.expected);
    if (!c.expected.empty()) {
      EXPECT_EQ(parse_generalized_time(c.expected), c.t);
    }
  }
}

// Sets TZ for one test and restores it afterwards.
class LocalTimeTest : public testing::Test {
 protected:
  void TearDown() override {
    if (saved_) setenv("TZ", saved_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> saved_ =
      getenv("TZ") ? std::optional<std::string>(getenv("TZ")) : std::nullopt;
};

TEST_F(LocalTimeTest, FormatInTheZoneOfTz) {
  // 2026-12-28 02:30:00 UTC
  const time_t t = 1798416000 + 2 * 3600 + 30 * 60;
  struct Case {
    const char* tz;
    std::string format;
    std::optional<std::string> expected;
  } cases[] = {
      {"UTC0", "%Y-%m-%d", "2026-12-28"},
      {"EST5", "%Y-%m-%d", "2026-12-27"},
      {"EST5", "%d.%m.%Y %H:%M %Z", "27.12.2026 21:30 EST"},
      {"JST-9", "%A %e %B, %H:%M", "Monday 28 December, 11:30"},
      {"UTC0", "", ""},
      {"UTC0", "no conversion", "no conversion"},
      {"UTC0", std::string(kLocalTimeMaxLength, 'x'), std::string(kLocalTimeMaxLength, 'x')},
      {"UTC0", std::string(kLocalTimeMaxLength + 1, 'x'), std::nullopt},
      {"UTC0", std::string(kLocalTimeMaxLength - 3, 'x') + "%Y", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " " + c.format);
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(format_local_time(t, c.format), c.expected);
  }
}

}  // namespace
