#include "web/time_zone.h"

#include <date/date.h>
#include <date/tz.h>

#include <chrono>
#include <exception>
#include <optional>

#include "util/generalized_time.h"
#include "util/strings.h"

namespace {

const date::time_zone* server_zone() {
  try {
    return date::current_zone();
  } catch (const std::exception&) {
    try {
      return date::locate_zone("UTC");
    } catch (const std::exception&) {
      return nullptr;
    }
  }
}

// The number of digits at text[at], width of them.
std::optional<int> number_at(std::string_view text, size_t at, size_t width) {
  const std::optional<int64_t> value = parse_digits(text.substr(at, width), width);
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

std::optional<date::local_seconds> parse_local(std::string_view text) {
  if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':') {
    return std::nullopt;
  }
  const auto year = number_at(text, 0, 4), month = number_at(text, 5, 2),
             day = number_at(text, 8, 2), hour = number_at(text, 11, 2),
             minute = number_at(text, 14, 2);
  if (!year || !month || !day || !hour || !minute || *year < 1 || *hour > 23 || *minute > 59) {
    return std::nullopt;
  }
  const date::year_month_day ymd{date::year{*year}, date::month{static_cast<unsigned>(*month)},
                                 date::day{static_cast<unsigned>(*day)}};
  if (!ymd.ok()) return std::nullopt;
  return date::local_days{ymd} + std::chrono::hours{*hour} + std::chrono::minutes{*minute};
}

bool writable_year(date::year year) { return year >= date::year{1} && year <= date::year{9999}; }

}  // namespace

const date::time_zone* zone_named(std::string_view name) {
  if (name.empty()) return server_zone();
  try {
    return date::locate_zone(name);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::string zone_name(const date::time_zone& zone) { return std::string(zone.name()); }

std::string local_to_generalized(std::string_view local, const date::time_zone& zone) {
  const std::optional<date::local_seconds> time = parse_local(local);
  if (!time) return {};
  // Before a skip and in an overlap, the first offset is the one in force
  // until the change: it moves a skipped time past the skip and picks the
  // earlier instant of a repeated one.
  const date::local_info info = zone.get_info(*time);
  const date::sys_seconds instant{time->time_since_epoch() - info.first.offset};
  if (!writable_year(date::year_month_day{date::floor<date::days>(instant)}.year())) return {};
  return date::format("%Y%m%d%H%M%SZ", instant);
}

std::string skipped_time_note(std::string_view local, const date::time_zone& zone) {
  static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};
  const std::optional<date::local_seconds> time = parse_local(local);
  if (!time) return {};
  const date::local_info info = zone.get_info(*time);
  if (info.result != date::local_info::nonexistent) return {};
  const date::sys_seconds instant{time->time_since_epoch() - info.first.offset};
  const date::year_month_day day{date::floor<date::days>(*time)};
  return date::format("%H:%M", *time) + " does not exist on " +
         std::to_string(static_cast<unsigned>(day.day())) + " " +
         kMonths[static_cast<unsigned>(day.month()) - 1] + "; saved as " +
         date::format("%H:%M", zone.to_local(instant));
}

std::string generalized_to_local(std::string_view stored, const date::time_zone& zone) {
  const std::optional<time_t> instant = parse_generalized_time(stored);
  if (!instant) return {};
  std::string local = seconds_to_local(*instant, zone);
  if (!local.empty()) local[10] = 'T';
  return local;
}

std::string seconds_to_local(long long seconds, const date::time_zone& zone) {
  const date::sys_seconds instant{std::chrono::seconds{seconds}};
  const date::local_seconds local = zone.to_local(instant);
  if (!writable_year(date::year_month_day{date::floor<date::days>(local)}.year())) return {};
  return date::format("%Y-%m-%d %H:%M", local);
}
