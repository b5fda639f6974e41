#include "dbtool/display.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

TEST(Display, TimesInUtc) {
  EXPECT_EQ(format_utc(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(format_utc(1700000000), "2023-11-14 22:13:20 UTC");
  EXPECT_EQ(format_utc(-1), "1969-12-31 23:59:59 UTC");
  // Beyond any calendar: the number itself.
  EXPECT_EQ(format_utc(INT64_MAX), "@9223372036854775807");
  EXPECT_EQ(format_utc(INT64_MIN), "@-9223372036854775808");
}

TEST(Display, AgesInHoursAndMinutes) {
  EXPECT_EQ(format_age(0), "0h00m");
  EXPECT_EQ(format_age(59), "0h00m");
  EXPECT_EQ(format_age(48 * 3600), "48h00m");
  EXPECT_EQ(format_age(52 * 3600 + 7 * 60 + 59), "52h07m");
  EXPECT_EQ(format_age(-3600), "-1h00m");
  EXPECT_EQ(format_age(INT64_MAX), "2562047788015215h30m");
  EXPECT_EQ(format_age(INT64_MIN), "-2562047788015215h30m");
}

TEST(Display, ControlBytesAreEscaped) {
  EXPECT_EQ(escape_for_display("box@host"), "box@host");
  EXPECT_EQ(escape_for_display(std::string("a\nb\tc\rd\\e\x1b[2J\x7f\0", 15)),
            "a\\nb\\tc\\rd\\\\e\\x1b[2J\\x7f\\x00");
  // Bytes above ASCII are left for the terminal's character set.
  EXPECT_EQ(escape_for_display("\xC3\x84@x"), "\xC3\x84@x");
}

}  // namespace
