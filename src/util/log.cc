#include "util/log.h"

#include <unistd.h>

#include <syslog.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "util/outcome.h"

namespace {
LogSink log_sink = nullptr;
int fatal_status = kDefaultFatalStatus;
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

void log_set_fatal_status(int status) { fatal_status = status; }

namespace {

// Writes "orvelt: <text>" and a newline to standard error in one write, so
// that the line is not interleaved with other output. Static storage: the
// way out must not need memory.
void write_stderr_line(const char* text) {
  static char line[4096 + 16];
  const int length = snprintf(line, sizeof line, "orvelt: %s\n", text);
  if (length > 0) {
    size_t size = static_cast<size_t>(length);
    if (size >= sizeof line) {
      size = sizeof line - 1;
      line[size - 1] = '\n';
    }
    (void)!write(STDERR_FILENO, line, size);
  }
}

}  // namespace

void log_reported(int priority, const char* text) {
  log_message(priority, "%s", text);
  write_stderr_line(text);
}

void log_fatal(int priority, const char* format, ...) {
  // Formatted once into static storage: the way out must not need memory,
  // as running out of it is one of the reasons to come here.
  static char text[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_reported(priority, text);
  log_close();
  exit(fatal_status);
}

void end_run(const Outcome& failure) { log_fatal(failure.priority, "%s", failure.reason.c_str()); }

std::string log_safe(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}
