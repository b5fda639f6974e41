#include "util/substitute.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include "util/log.h"
#include "util/unique_fd.h"

namespace {

bool occurrence_at(std::string_view text, size_t pos, std::string_view placeholder) {
  return text.size() - pos >= placeholder.size() && text[pos] == placeholder[0] &&
         equals_ignore_case(text.substr(pos + 1, placeholder.size() - 1), placeholder.substr(1));
}

}  // namespace

void substitute(OptionalText& slot, std::string_view placeholder, const OptionalText& replacement) {
  if (!slot || placeholder.empty()) return;
  const std::string_view with = replacement ? std::string_view(*replacement) : std::string_view();
  if (!with.empty() && contains_ignore_case(with, placeholder)) return;
  const std::string_view text = *slot;
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    if (occurrence_at(text, pos, placeholder)) {
      out.append(with);
      pos += placeholder.size();
    } else {
      out.push_back(text[pos]);
      ++pos;
    }
  }
  slot = std::move(out);
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

OptionalText slurp_file(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
    log_message(LOG_INFO, "WARN/IO %s", path.c_str());
    return std::nullopt;
  }
  const auto size = static_cast<size_t>(status.st_size);
  std::string buffer(size, '\0');
  const ssize_t got = read(fd.get(), buffer.data(), size);
  if (got < 0 || static_cast<size_t>(got) != size) {
    log_message(LOG_INFO, "WARN/IO %s", path.c_str());
    return std::nullopt;
  }
  buffer.resize(text_until_nul(buffer).size());
  return buffer;
}
