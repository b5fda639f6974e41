// LDAP GeneralizedTime values (RFC 4517): reading them, writing the current
// time as one, and showing one in the local time zone.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The instant that text names, when it is a GeneralizedTime value:
//   YYYYMMDDHH[MM[SS]][(.|,)fraction](Z|+HH|-HH|+HHMM|-HHMM)
// with every field in its range (day within its month, second up to 60 for a
// leap second, zone hours 00-23 and minutes 00-59). A fraction counts as a
// part of the last field given (of the hour after HH, say), cut to whole
// seconds. Anything else, a local time without a zone included, gives
// nothing.
std::optional<time_t> parse_generalized_time(std::string_view text);

// t in UTC as GeneralizedTime, "YYYYMMDDHHMMSSZ"; empty when t cannot be
// written so (a year beyond 9999, say).
std::string generalized_time_utc(time_t t);

// t in the process's local time zone (TZ, else the system's), written with
// the strftime format; nothing when the outcome would be longer than
// kLocalTimeMaxLength bytes or empty for a non-empty format, or when t has
// no local time.
inline constexpr size_t kLocalTimeMaxLength = 255;
std::optional<std::string> format_local_time(time_t t, const std::string& format);
