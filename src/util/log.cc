#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <syslog.h>

namespace {
LogSink log_sink = nullptr;
}  // namespace

void log_open() { openlog("orvelt", LOG_PID, LOG_MAIL); }

void log_close() { closelog(); }

void log_set_sink(LogSink sink) { log_sink = sink; }

namespace {

void log_formatted(int priority, const char* format, va_list args) {
  if (log_sink == nullptr) {
    vsyslog(priority, format, args);
  } else {
    // Formatting into a fixed buffer cannot fail for lack of memory; a test
    // never logs more than this.
    char text[8192];
    vsnprintf(text, sizeof text, format, args);
    log_sink(priority, text);
  }
}

}  // namespace

void log_message(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_formatted(priority, format, args);
  va_end(args);
}

void log_fatal(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_formatted(priority, format, args);
  va_end(args);
  log_close();
  exit(1);
}

std::string log_safe(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}
