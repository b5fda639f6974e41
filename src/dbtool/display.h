// How orvelt-db shows stored bytes and times to the operator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// bytes with every control byte (below 0x20, and 0x7f) and every backslash
// written as a C escape (\n, \t, \r, \\, \xNN), so that a stored key can
// neither forge output lines nor drive the terminal.
std::string escape_for_display(std::string_view bytes);

// A time in seconds since the epoch as "YYYY-MM-DD HH:MM:SS UTC"; a time the
// calendar functions cannot convert as "@<seconds>".
std::string format_utc(int64_t time);

// An age in seconds as hours and minutes, "52h07m" (seconds dropped); a
// negative age, a time in the future, gets a leading "-". Hours because
// blockexpire and purge count in hours.
std::string format_age(int64_t seconds);
