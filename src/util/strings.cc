#include "util/strings.h"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "util/log.h"

StringList tokenize(std::string_view text, int limit, char delimiter) {
  StringList tokens;
  size_t end = text.size();
  while (end > 0 && text[end - 1] == delimiter) --end;
  size_t pos = 0;
  int count = 0;
  while (pos < end) {
    while (text[pos] == delimiter) ++pos;  // stops below end: text[end-1] is no delimiter
    size_t stop;
    if (limit >= 0 && count == limit) {
      stop = end;
    } else {
      stop = text.find(delimiter, pos);
      if (stop == std::string_view::npos || stop > end) stop = end;
    }
    tokens.emplace_back(text.substr(pos, stop - pos));
    ++count;
    pos = stop + 1;
  }
  return tokens;
}

namespace {

// The thread that installed the handler, once one did.
std::atomic<bool> main_thread_known{false};
pthread_t main_thread;

std::atomic<bool> no_memory{false};

bool on_main_thread() {
  return !main_thread_known.load() || pthread_equal(pthread_self(), main_thread) != 0;
}

void new_handler() { exit_no_memory(); }

}  // namespace

void exit_no_memory() {
  // exit() from another thread would tear down what the main thread and the
  // others still use, and skip the stop they owe their clients.
  if (!on_main_thread()) throw std::bad_alloc();
  log_fatal(LOG_ERR, "CRIT/SYS Out of memory");
}

void install_no_memory_handler() {
  main_thread = pthread_self();
  main_thread_known.store(true);
  std::set_new_handler(new_handler);
}

void report_no_memory() {
  no_memory.store(true);
  kill(getpid(), SIGTERM);
}

bool no_memory_reported() { return no_memory.load(); }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool contains_ignore_case(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (equals_ignore_case(haystack.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

std::string_view text_until_nul(std::string_view bytes) {
  const size_t nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

std::string_view trim_blanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  const size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

std::optional<int64_t> parse_digits(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}
