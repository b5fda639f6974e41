// Local times of the browser's zone to stored UTC GeneralizedTime and back,
// through the clock changes.
#include "web/time_zone.h"

#include <date/tz.h>
#include <gtest/gtest.h>

#include <string>

namespace {

const date::time_zone& zone(const char* name) {
  const date::time_zone* found = zone_named(name);
  if (found == nullptr) throw std::runtime_error(std::string("no zone ") + name);
  return *found;
}

TEST(TimeZoneTest, ZonesByNameTheServersWhenEmptyNoneWhenUnknown) {
  EXPECT_EQ(zone_name(zone("Europe/Berlin")), "Europe/Berlin");
  EXPECT_NE(zone_named(""), nullptr);
  for (const char* unknown : {"Nowhere/Else", "europe/berlin ", "../../etc/passwd", "Europe/"}) {
    EXPECT_EQ(zone_named(unknown), nullptr) << unknown;
  }
}

TEST(TimeZoneTest, LocalTimesBecomeUtcAcrossClockChanges) {
  struct Case {
    const char* zone;
    const char* local;
    const char* stored;
  };
  for (const Case& c : {
           Case{"UTC", "2024-01-15T09:30", "20240115093000Z"},
           Case{"Europe/Berlin", "2024-01-15T09:30", "20240115083000Z"},
           Case{"Europe/Berlin", "2024-07-01T12:00", "20240701100000Z"},
           Case{"Europe/Berlin", "2024-12-31T23:59", "20241231225900Z"},
           Case{"Europe/Berlin", "2024-02-29T00:00", "20240228230000Z"},
           // Skipped by the clocks (02:00 -> 03:00): moved on by the hour.
           Case{"Europe/Berlin", "2024-03-31T02:30", "20240331013000Z"},
           Case{"America/New_York", "2024-03-10T02:30", "20240310073000Z"},
           // A half-hour skip (02:00 -> 02:30).
           Case{"Australia/Lord_Howe", "2024-10-06T02:15", "20241005154500Z"},
           // Passed twice (03:00 -> 02:00): the first, still in summer time.
           Case{"Europe/Berlin", "2024-10-27T02:30", "20241027003000Z"},
           Case{"America/New_York", "2024-11-03T01:30", "20241103053000Z"},
       }) {
    EXPECT_EQ(local_to_generalized(c.local, zone(c.zone)), c.stored) << c.zone << " " << c.local;
  }
}

TEST(TimeZoneTest, ATimeTheClocksSkipIsNotedWithWhatItBecomes) {
  struct Case {
    const char* zone;
    const char* local;
    const char* note;
  };
  for (const Case& c : {
           Case{"Europe/Berlin", "2026-03-29T02:30",
                "02:30 does not exist on 29 March; saved as 03:30"},
           Case{"Europe/Berlin", "2026-03-29T02:00",
                "02:00 does not exist on 29 March; saved as 03:00"},
           Case{"America/New_York", "2024-03-10T02:59",
                "02:59 does not exist on 10 March; saved as 03:59"},
           Case{"Australia/Lord_Howe", "2024-10-06T02:15",
                "02:15 does not exist on 6 October; saved as 02:45"},
           // Times that exist, once or twice, and no time at all.
           Case{"Europe/Berlin", "2026-03-29T03:00", ""},
           Case{"Europe/Berlin", "2026-03-29T01:59", ""},
           Case{"Europe/Berlin", "2024-10-27T02:30", ""},
           Case{"UTC", "2026-03-29T02:30", ""},
           Case{"Europe/Berlin", "2026-03-29 02:30", ""},
       }) {
    EXPECT_EQ(skipped_time_note(c.local, zone(c.zone)), c.note) << c.zone << " " << c.local;
  }
}

TEST(TimeZoneTest, OnlyWholeValidLocalTimesAreRead) {
  for (const char* bad :
       {"", "2024-02-30T10:00", "2023-02-29T10:00", "2024-01-15 09:30", "2024-01-15T24:00",
        "2024-01-15T09:60", "2024-1-15T09:30", "2024-01-15T09:30:00", "2024-13-01T00:00",
        "0000-01-01T00:00", "+024-01-15T09:30", "2024-01-15T9:30 ", "２０２４-01-15T09:30"}) {
    EXPECT_EQ(local_to_generalized(bad, zone("Europe/Berlin")), "") << bad;
  }
  // The first day of year 1 in UTC is fine; in a zone east of UTC it falls
  // before it and cannot be stored.
  EXPECT_EQ(local_to_generalized("0001-01-01T00:00", zone("UTC")), "00010101000000Z");
  EXPECT_EQ(local_to_generalized("0001-01-01T00:00", zone("Asia/Tokyo")), "");
}

TEST(TimeZoneTest, StoredTimesAreShownInTheZone) {
  struct Case {
    const char* zone;
    const char* stored;
    const char* local;
  };
  for (const Case& c : {
           Case{"Europe/Berlin", "20240115083000Z", "2024-01-15T09:30"},
           Case{"Europe/Berlin", "20240701100000Z", "2024-07-01T12:00"},
           // Both instants of the repeated hour show as the same local time.
           Case{"Europe/Berlin", "20241027003000Z", "2024-10-27T02:30"},
           Case{"Europe/Berlin", "20241027013000Z", "2024-10-27T02:30"},
           Case{"America/New_York", "20240115093000+0100", "2024-01-15T03:30"},
           Case{"UTC", "202401150930Z", "2024-01-15T09:30"},
           Case{"UTC", "20240115093000", ""},
           Case{"UTC", "garbage", ""},
           Case{"UTC", "", ""},
       }) {
    EXPECT_EQ(generalized_to_local(c.stored, zone(c.zone)), c.local) << c.zone << " " << c.stored;
  }
  EXPECT_EQ(seconds_to_local(0, zone("Europe/Berlin")), "1970-01-01 01:00");
}

}  // namespace
