#include "util/substitute.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "util/log.h"
#include "util/unique_fd.h"

namespace {

bool occurrence_at(std::string_view text, size_t pos, std::string_view placeholder) {
  return text.size() - pos >= placeholder.size() && text[pos] == placeholder[0] &&
         equals_ignore_case(text.substr(pos + 1, placeholder.size() - 1), placeholder.substr(1));
}

// The longest placeholder whose name occurs at pos, the first of equally
// long ones; null when none does.
const Placeholder* longest_at(std::string_view text, size_t pos,
                              std::span<const Placeholder> placeholders) {
  const Placeholder* found = nullptr;
  for (const Placeholder& p : placeholders) {
    if (p.name.empty() || (found != nullptr && p.name.size() <= found->name.size())) continue;
    if (occurrence_at(text, pos, p.name)) found = &p;
  }
  return found;
}

// Where the header of text ends: the start of its first empty line (one
// that is empty or holds only a CR), or the end of the text.
size_t header_end(std::string_view text) {
  for (size_t start = 0; start < text.size();) {
    if (text[start] == '\n' || text.substr(start, 2) == "\r\n") return start;
    const size_t newline = text.find('\n', start);
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  return text.size();
}

// value as it may stand in a header line: a final CR dropped (the line end
// of a CRLF message), every other CR, LF and NUL a blank.
void append_cleaned(std::string& out, std::string_view value) {
  if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  for (const char c : value) out.push_back(c == '\r' || c == '\n' || c == '\0' ? ' ' : c);
}

}  // namespace

std::string fill_in(std::string_view text, std::span<const Placeholder> placeholders,
                    HeaderValues header) {
  // Most bytes start no placeholder: one table lookup passes them by.
  std::array<bool, 256> starts{};
  for (const Placeholder& p : placeholders) {
    if (!p.name.empty()) starts[static_cast<unsigned char>(p.name[0])] = true;
  }
  const size_t cleaned_until = header == HeaderValues::kCleaned ? header_end(text) : 0;
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t pos = 0; pos < text.size();) {
    const Placeholder* match = starts[static_cast<unsigned char>(text[pos])]
                                   ? longest_at(text, pos, placeholders)
                                   : nullptr;
    if (match == nullptr) {
      ++pos;
      continue;
    }
    out.append(text.substr(copied, pos - copied));
    if (pos < cleaned_until) {
      append_cleaned(out, match->value);
    } else {
      out.append(match->value);
    }
    pos += match->name.size();
    copied = pos;
  }
  out.append(text.substr(copied));
  return out;
}

std::string without_lines_holding(std::string_view text, std::string_view placeholder) {
  if (placeholder.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const size_t length = newline == std::string_view::npos ? text.size() : newline + 1;
    const std::string_view line = text.substr(0, length);
    bool holds = false;
    for (size_t pos = 0; pos < line.size() && !holds; ++pos) {
      holds = occurrence_at(line, pos, placeholder);
    }
    if (!holds) out.append(line);
    text.remove_prefix(length);
  }
  return out;
}

Result<std::string> read_text_file(const std::string& path, size_t max_bytes) {
  const auto failed = [&path](const std::string& reason) {
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": " + reason);
  };
  const auto too_large = [&failed, max_bytes] {
    return failed("larger than " + std::to_string(max_bytes) + " bytes");
  };
  // Opened without blocking: open(2) of a FIFO would otherwise wait for a
  // writer that never comes. The type is checked before anything is read,
  // so that neither a FIFO nor a device (/dev/zero) is ever read from.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) return failed(std::strerror(errno));
  if (S_ISDIR(status.st_mode)) return failed(std::strerror(EISDIR));
  if (!S_ISREG(status.st_mode)) return failed("not a regular file");
  if (static_cast<uintmax_t>(status.st_size) > max_bytes) return too_large();
  // Reads of a regular file wait for their data anyway, except where a file
  // system passes the flag on (FUSE) and answers EAGAIN: it is cleared.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return failed(std::strerror(errno));
  }
  std::string buffer;
  buffer.reserve(static_cast<size_t>(status.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd.get(), chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return failed(std::strerror(errno));
    }
    // A file that grew after fstat is held to the same limit.
    if (static_cast<size_t>(got) > max_bytes - buffer.size()) return too_large();
    buffer.append(chunk, static_cast<size_t>(got));
  }
  buffer.resize(text_until_nul(buffer).size());
  return buffer;
}
