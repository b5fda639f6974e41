#include "util/log.h"

#include <unistd.h>

#include <syslog.h>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "util/c_owners.h"
#include "util/outcome.h"

namespace {
LogSink log_sink = nullptr;
int fatal_status = kDefaultFatalStatus;
thread_local std::string log_prefix;
}  // namespace

void log_open() { openlog("orvelt", LOG_PID, LOG_MAIL); }

void log_close() { closelog(); }

void log_warn_if_root() {
  if (geteuid() == 0) log_message(LOG_WARNING, "WARN/SYS running as root");
}

void log_set_sink(LogSink sink) { log_sink = sink; }

void log_set_prefix(std::string prefix) { log_prefix = std::move(prefix); }

namespace {

// A message's text after the thread's prefix. Formatted into a buffer of
// its own for most messages; a longer one is formatted again at its size,
// and cut at the buffer's when that memory cannot be had: a log line must
// not end the process.
class PrefixedText {
 public:
  PrefixedText(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const size_t kept = log_prefix.copy(short_, sizeof short_ - 1);
    const auto length = static_cast<size_t>(
        std::max(vsnprintf(short_ + kept, sizeof short_ - kept, format, args), 0));
    if (log_prefix.size() + length >= sizeof short_) {
      long_.reset(static_cast<char*>(malloc(log_prefix.size() + length + 1)));
      if (long_) {
        memcpy(long_.get(), log_prefix.data(), log_prefix.size());
        vsnprintf(long_.get() + log_prefix.size(), length + 1, format, again);
      }
    }
    va_end(again);
  }
  const char* text() const { return long_ ? long_.get() : short_; }

 private:
  char short_[8192];
  MallocPtr<char> long_;
};

void log_formatted(int priority, const char* format, va_list args) {
  if (log_sink == nullptr && log_prefix.empty()) {
    vsyslog(priority, format, args);
    return;
  }
  const PrefixedText text(format, args);
  if (log_sink == nullptr) {
    syslog(priority, "%s", text.text());
  } else {
    log_sink(priority, text.text());
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
// that the line is not interleaved with other output. On the stack: the way
// out must not need memory, and threads may report at once.
void write_stderr_line(const char* text) {
  char line[4096 + 16];
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
