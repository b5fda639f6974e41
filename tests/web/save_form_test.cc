// The save form: its fields as sent and their check against the
// configuration, into the change to write or the errors beside the fields.
#include "web/save_form.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "config/config.h"

namespace {

class SaveFormTest : public testing::Test {
 protected:
  void SetUp() override { config_set_defaults(); }
  void TearDown() override { config_set_defaults(); }

  // A form switched on with a text, in UTC.
  static SaveFields on(std::string text = "Away.") {
    SaveFields fields;
    fields.active = true;
    fields.tz = "UTC";
    fields.text = std::move(text);
    return fields;
  }
  static std::string error(const SaveCheck& check, const std::string& field) {
    const auto it = check.errors.find(field);
    return it == check.errors.end() ? "" : it->second;
  }
};

TEST_F(SaveFormTest, TheBodyGivesEachKnownFieldsFirstValue) {
  const SaveFields fields = save_fields_of(
      "csrf=t&active=on&start=2024-01-15T09%3A30&end=&tz=Europe%2FBerlin&text=Hi%0D%0Athere+%3Cb%3E"
      "&text=second&internal_text=x&interval=24&dn=uid%3Dother&vacationActive=FALSE");
  EXPECT_TRUE(fields.active);
  EXPECT_EQ(fields.start, "2024-01-15T09:30");
  EXPECT_EQ(fields.end, "");
  EXPECT_EQ(fields.tz, "Europe/Berlin");
  EXPECT_EQ(save_fields_of("dates_tz=Asia%2FTokyo&version=00ff").dates_tz, "Asia/Tokyo");
  EXPECT_EQ(save_fields_of("dates_tz=Asia%2FTokyo&version=00ff").version, "00ff");
  EXPECT_EQ(fields.text, "Hi\r\nthere <b>");
  EXPECT_EQ(fields.internal_text, "x");
  EXPECT_EQ(fields.interval, "24");
  EXPECT_FALSE(save_fields_of("active=yes").active);
  EXPECT_FALSE(save_fields_of("").active);
}

TEST_F(SaveFormTest, TheTextIsNeededWhenOnAndKeptWhenOffAndEmpty) {
  SaveCheck check = check_save(on("Line one\r\nLine two\r\n"));
  ASSERT_TRUE(check.ok());
  EXPECT_TRUE(check.change.active);
  EXPECT_EQ(check.change.text, "Line one\nLine two\n");

  EXPECT_NE(error(check_save(on("")), "text"), "");

  SaveFields off = on("");
  off.active = false;
  check = check_save(off);
  ASSERT_TRUE(check.ok());
  EXPECT_FALSE(check.change.active);
  EXPECT_FALSE(check.change.text) << "switching off with no text removes the stored one";
  off.text = "Back soon.";
  EXPECT_EQ(check_save(off).change.text, "Back soon.");
}

TEST_F(SaveFormTest, TextsMustBeShortValidUtf8) {
  g_config.internal_result = "vacationInfoInternal";
  struct Case {
    std::string text;
    bool ok;
  };
  for (const Case& c :
       {Case{std::string(kMaxTextBytes, 'a'), true},
        Case{std::string(kMaxTextBytes + 1, 'a'), false},
        Case{"Gr\xc3\xbc\xc3\x9f\x65 \xf0\x9f\x8c\xb4", true}, Case{"\xc3\x28", false},
        Case{"\xc0\xaf", false}, Case{"\xed\xa0\x80", false}, Case{"\xf4\x90\x80\x80", false},
        Case{"abc\xe2\x82", false}, Case{std::string("a\0b", 3), false}}) {
    EXPECT_EQ(check_save(on(c.text)).ok(), c.ok) << c.text.substr(0, 20);
    SaveFields internal = on();
    internal.internal_text = c.text;
    const SaveCheck check = check_save(internal);
    EXPECT_EQ(check.ok(), c.ok);
    EXPECT_EQ(error(check, "internal_text").empty(), c.ok);
  }
}

TEST_F(SaveFormTest, TheInternalTextAndIntervalCountOnlyWhenConfigured) {
  SaveFields fields = on();
  fields.internal_text = "\xff";
  fields.interval = "nonsense";
  SaveCheck check = check_save(fields);
  EXPECT_TRUE(check.ok());
  EXPECT_FALSE(check.change.internal_text);
  EXPECT_FALSE(check.change.interval);

  g_config.internal_result = "vacationInfoInternal";
  fields.internal_text = "For colleagues\r\n";
  EXPECT_EQ(check_save(fields).change.internal_text, "For colleagues\n");
  fields.internal_text = "";
  EXPECT_FALSE(check_save(fields).change.internal_text);
}

TEST_F(SaveFormTest, TheIntervalIsAWholeNumberWithinTheLimits) {
  g_config.blockexpire_attribute = "vacationInterval";
  g_config.blockexpire_min = 2;
  g_config.blockexpire_max = 100;
  struct Case {
    const char* value;
    std::optional<int> hours;
    bool ok;
  };
  for (const Case& c : {Case{"24", 24, true}, Case{" 2 ", 2, true}, Case{"100", 100, true},
                        Case{"", std::nullopt, true}, Case{"1", std::nullopt, false},
                        Case{"101", std::nullopt, false}, Case{"-5", std::nullopt, false},
                        Case{"2.5", std::nullopt, false}, Case{"99999999999", std::nullopt, false},
                        Case{"abc", std::nullopt, false}}) {
    SaveFields fields = on();
    fields.interval = c.value;
    const SaveCheck check = check_save(fields);
    EXPECT_EQ(check.ok(), c.ok) << c.value;
    EXPECT_EQ(check.change.interval, c.hours) << c.value;
    if (!c.ok) {
      EXPECT_EQ(error(check, "interval"), "A whole number of hours from 2 to 100.");
    }
  }
}

TEST_F(SaveFormTest, DatesAreReadInTheZoneSentAndMustBeInOrder) {
  struct Case {
    const char* tz;
    const char* start;
    const char* end;
    OptionalText stored_start, stored_end;
    const char* error_field;  // nullptr: none
  };
  for (const Case& c : {
           Case{"Europe/Berlin", "2024-07-01T08:00", "2024-07-15T18:00", "20240701060000Z",
                "20240715160000Z", nullptr},
           Case{"Europe/Berlin", "", "2024-07-15T18:00", std::nullopt, "20240715160000Z", nullptr},
           Case{"UTC", "", "", std::nullopt, std::nullopt, nullptr},
           Case{"UTC", "2024-07-01T08:00", "2024-07-01T08:00", "20240701080000Z", "20240701080000Z",
                "end"},
           Case{"UTC", "2024-07-02T08:00", "2024-07-01T08:00", "20240702080000Z", "20240701080000Z",
                "end"},
           Case{"UTC", "2024-07-01", "", std::nullopt, std::nullopt, "start"},
           Case{"UTC", "", "tomorrow", std::nullopt, std::nullopt, "end"},
           Case{"Mars/Olympus_Mons", "2024-07-01T08:00", "", std::nullopt, std::nullopt, "tz"},
       }) {
    SaveFields fields = on();
    fields.tz = c.tz;
    fields.start = c.start;
    fields.end = c.end;
    const SaveCheck check = check_save(fields);
    EXPECT_EQ(check.change.start, c.stored_start) << c.start;
    EXPECT_EQ(check.change.end, c.stored_end) << c.end;
    if (c.error_field == nullptr) {
      EXPECT_TRUE(check.ok()) << c.start << " " << c.end;
      EXPECT_EQ(check.zone, c.tz);
    } else {
      EXPECT_EQ(check.errors.size(), 1u) << c.start << " " << c.end;
      EXPECT_NE(error(check, c.error_field), "") << c.start << " " << c.end;
    }
  }
  // No zone sent: the server's.
  SaveFields fields = on();
  fields.tz = "";
  fields.start = "2024-07-01T08:00";
  const SaveCheck check = check_save(fields);
  EXPECT_TRUE(check.ok());
  EXPECT_NE(check.zone, "");
  EXPECT_TRUE(check.change.start);
}

TEST_F(SaveFormTest, DatesAreReadInTheZoneThePageShowedThemInAndTzIsTheBrowsers) {
  SaveFields fields = on();
  fields.tz = "America/New_York";     // the browser now
  fields.dates_tz = "Europe/Berlin";  // the page, made before
  fields.start = "2026-12-01T00:00";
  SaveCheck check = check_save(fields);
  ASSERT_TRUE(check.ok());
  EXPECT_EQ(check.change.start, "20261130230000Z");
  EXPECT_EQ(check.zone, "Europe/Berlin");
  EXPECT_EQ(check.browser_zone, "America/New_York");
  fields.tz = "Nowhere/Else";
  check = check_save(fields);
  EXPECT_TRUE(check.ok()) << "an unknown browser zone is only not remembered";
  EXPECT_EQ(check.browser_zone, "");
  fields.dates_tz = "Nowhere/Else";
  EXPECT_NE(error(check_save(fields), "tz"), "");
}

TEST_F(SaveFormTest, ASkippedTimeIsSavedMovedOnWithANote) {
  SaveFields fields = on();
  fields.tz = "Europe/Berlin";
  fields.start = "2026-03-29T02:30";
  fields.end = "2026-03-29T04:00";
  const SaveCheck check = check_save(fields);
  ASSERT_TRUE(check.ok());
  EXPECT_EQ(check.change.start, "20260329013000Z");
  EXPECT_EQ(check.notes, (std::map<std::string, std::string>{
                             {"start", "02:30 does not exist on 29 March; saved as 03:30"}}));
}

TEST_F(SaveFormTest, DatesSentAsShownKeepTheStoredValuesToTheSecond) {
  VacationSettings stored;
  stored.start = "20261201000000+0100";  // 2026-11-30T18:00 in New York
  stored.end = "20261231235959+0100";    // 2026-12-31T17:59
  struct Case {
    const char* name;
    const char* start;
    const char* end;
    OptionalText start_written, end_written;
    bool ok;
  };
  for (const Case& c : {
           Case{"both as shown", "2026-11-30T18:00", "2026-12-31T17:59", "20261201000000+0100",
                "20261231235959+0100", true},
           Case{"the start changed", "2026-11-30T19:00", "2026-12-31T17:59", "20261201000000Z",
                "20261231235959+0100", true},
           Case{"the end removed", "2026-11-30T18:00", "", "20261201000000+0100", std::nullopt,
                true},
           Case{"a start after the kept end", "2027-01-01T00:00", "2026-12-31T17:59",
                "20270101050000Z", "20261231235959+0100", false},
       }) {
    SCOPED_TRACE(c.name);
    SaveFields fields = on();
    fields.tz = "America/New_York";
    fields.start = c.start;
    fields.end = c.end;
    SaveCheck check = check_save(fields);
    if (check.ok()) keep_unchanged_dates(check, fields, stored);
    EXPECT_EQ(check.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(check.change.start, c.start_written);
      EXPECT_EQ(check.change.end, c.end_written);
    } else {
      EXPECT_NE(error(check, "end"), "");
    }
  }
  // Absent and unreadable values shown empty and sent empty stay as they are.
  stored.start.reset();
  stored.end = "not a time";
  SaveFields fields = on();
  fields.tz = "UTC";
  SaveCheck check = check_save(fields);
  keep_unchanged_dates(check, fields, stored);
  EXPECT_EQ(check.change.start, std::nullopt);
  EXPECT_EQ(check.change.end, "not a time");
}

}  // namespace
