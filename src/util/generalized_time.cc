#include "util/generalized_time.h"

#include <cstdio>

namespace {

// Reads count decimal digits at text[pos], moving pos past them; nothing
// when fewer digits are there.
std::optional<int> read_digits(std::string_view text, size_t& pos, size_t count) {
  if (text.size() - pos < count) return std::nullopt;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool is_digit_at(std::string_view text, size_t pos) {
  return pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The seconds that a fraction (the digits after '.' or ',') of a field of
// unit_seconds stands for, cut to whole seconds; moves pos past the digits.
// Digits beyond the ninth cannot change a whole second of an hour.
long long read_fraction(std::string_view text, size_t& pos, long long unit_seconds) {
  long long numerator = 0;
  long long denominator = 1;
  for (; is_digit_at(text, pos); ++pos) {
    if (denominator < 1000000000) {
      numerator = numerator * 10 + (text[pos] - '0');
      denominator *= 10;
    }
  }
  return unit_seconds * numerator / denominator;
}

// The time of day after the hour: minutes and seconds when present, and
// the length in seconds of the last field read (a fraction is of that).
struct TimeOfDay {
  int minute = 0;
  int second = 0;
  long long unit_seconds = 3600;
};

std::optional<TimeOfDay> read_minutes_seconds(std::string_view text, size_t& pos) {
  TimeOfDay time;
  if (!is_digit_at(text, pos)) return time;
  const std::optional<int> m = read_digits(text, pos, 2);
  if (!m || *m > 59) return std::nullopt;
  time.minute = *m;
  time.unit_seconds = 60;
  if (!is_digit_at(text, pos)) return time;
  const std::optional<int> s = read_digits(text, pos, 2);
  if (!s || *s > 60) return std::nullopt;
  time.second = *s;
  time.unit_seconds = 1;
  return time;
}

// The zone at pos, which must end the text: 'Z', or +HH[MM] / -HH[MM]; the
// offset of local time from UTC in seconds.
std::optional<long long> read_zone(std::string_view text, size_t& pos) {
  if (pos >= text.size()) return std::nullopt;
  const char zone = text[pos++];
  long long offset_seconds = 0;
  if (zone == '+' || zone == '-') {
    const std::optional<int> zone_hours = read_digits(text, pos, 2);
    if (!zone_hours || *zone_hours > 23) return std::nullopt;
    int zone_minutes = 0;
    if (pos < text.size()) {
      const std::optional<int> m = read_digits(text, pos, 2);
      if (!m || *m > 59) return std::nullopt;
      zone_minutes = *m;
    }
    offset_seconds = (*zone_hours * 60LL + zone_minutes) * 60;
    if (zone == '-') offset_seconds = -offset_seconds;
  } else if (zone != 'Z') {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  return offset_seconds;
}

}  // namespace

std::optional<time_t> parse_generalized_time(std::string_view text) {
  size_t pos = 0;
  const std::optional<int> year = read_digits(text, pos, 4);
  const std::optional<int> month = read_digits(text, pos, 2);
  const std::optional<int> day = read_digits(text, pos, 2);
  const std::optional<int> hour = read_digits(text, pos, 2);
  if (!year || !month || !day || !hour) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month) || *hour > 23) {
    return std::nullopt;
  }
  const std::optional<TimeOfDay> time = read_minutes_seconds(text, pos);
  if (!time) return std::nullopt;
  long long fraction_seconds = 0;
  if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
    ++pos;
    if (!is_digit_at(text, pos)) return std::nullopt;
    fraction_seconds = read_fraction(text, pos, time->unit_seconds);
  }
  const std::optional<long long> offset_seconds = read_zone(text, pos);
  if (!offset_seconds) return std::nullopt;

  tm fields{};
  fields.tm_year = *year - 1900;
  fields.tm_mon = *month - 1;
  fields.tm_mday = *day;
  fields.tm_hour = *hour;
  fields.tm_min = time->minute;
  fields.tm_sec = time->second;
  const time_t utc_of_fields = timegm(&fields);
  return static_cast<time_t>(utc_of_fields + fraction_seconds - *offset_seconds);
}

std::string generalized_time_utc(time_t t) {
  tm fields{};
  if (gmtime_r(&t, &fields) == nullptr) return {};
  const long long year = fields.tm_year + 1900LL;
  if (year < 0 || year > 9999) return {};
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%04lld%02d%02d%02d%02d%02dZ", year, fields.tm_mon + 1,
           fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  return buffer;
}

std::optional<std::string> format_local_time(time_t t, const std::string& format) {
  if (format.empty()) return std::string();
  tzset();
  tm fields{};
  if (localtime_r(&t, &fields) == nullptr) return std::nullopt;
  char buffer[kLocalTimeMaxLength + 1];
  const size_t length = strftime(buffer, sizeof buffer, format.c_str(), &fields);
  if (length == 0) return std::nullopt;
  return std::string(buffer, length);
}
