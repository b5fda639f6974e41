#include "dbtool/display.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

std::string escape_for_display(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char hex[5];
          snprintf(hex, sizeof hex, "\\x%02x", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string format_utc(int64_t time) {
  const auto t = static_cast<time_t>(time);
  struct tm parts;
  char text[64];
  if (static_cast<int64_t>(t) == time && gmtime_r(&t, &parts) != nullptr &&
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) > 0) {
    return text;
  }
  snprintf(text, sizeof text, "@%" PRId64, time);
  return text;
}

std::string format_age(int64_t seconds) {
  // Magnitude in unsigned arithmetic: -INT64_MIN does not fit an int64_t.
  const bool future = seconds < 0;
  const uint64_t magnitude =
      future ? uint64_t{0} - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
  char text[64];
  snprintf(text, sizeof text, "%s%" PRIu64 "h%02" PRIu64 "m", future ? "-" : "", magnitude / 3600,
           magnitude % 3600 / 60);
  return text;
}
