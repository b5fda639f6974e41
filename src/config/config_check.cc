#include "config/config_check.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "util/log.h"
#include "util/unique_fd.h"

namespace {

// Why a file the programs read cannot be used: it does not open for
// reading, or is no regular file; none when it can. Opened without
// blocking, as the configuration file is, so that a FIFO does not hold the
// test.
std::optional<std::string> unusable_file(const std::string& path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) return std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  return std::nullopt;
}

// regcomp's complaint about pattern, compiled as orvelt compiles it; none
// when it compiles.
std::optional<std::string> pattern_error(const std::string& pattern) {
  regex_t regex;
  const int error = regcomp(&regex, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  if (error == 0) {
    regfree(&regex);
    return std::nullopt;
  }
  char text[256];
  regerror(error, &regex, text, sizeof text);
  return text;
}

}  // namespace

std::vector<std::string> config_check(const char* path) {
  Config config;
  ConfigProblems problems;
  if (const std::optional<std::string> reason = config_read_path_into(path, config, &problems)) {
    return {std::string(path) + ": " + *reason};
  }
  const auto line_of = [&problems](std::string_view directive) {
    const auto found = problems.set_at.find(directive);
    return found == problems.set_at.end() ? 0 : found->second;
  };
  for (const ConfigDirective& d : config_directives()) {
    if (d.file == nullptr || !(config.*d.file)) continue;
    const std::string& file = *(config.*d.file);
    if (const std::optional<std::string> reason = unusable_file(file)) {
      problems.lines.push_back(
          {line_of(d.name), std::string(d.name) + " " + log_safe(file) + ": " + *reason});
    }
  }
  for (size_t i = 0; i < config.noreply_headers.size(); ++i) {
    const NoreplyHeader& rule = config.noreply_headers[i];
    if (const std::optional<std::string> error = pattern_error(rule.pattern)) {
      problems.lines.push_back({problems.noreply_header_lines[i],
                                "noreply_header " + log_safe(rule.name) + ": " + *error});
    }
  }
  if (config.web_binddn && !config.web_bindpw) {
    problems.lines.push_back({line_of("web_binddn"), "web_binddn without web_bindpw"});
  }
  std::stable_sort(
      problems.lines.begin(), problems.lines.end(),
      [](const ConfigProblems::Line& a, const ConfigProblems::Line& b) { return a.line < b.line; });
  std::vector<std::string> out;
  out.reserve(problems.lines.size());
  for (const ConfigProblems::Line& problem : problems.lines) {
    out.push_back(std::string(path) + ":" + std::to_string(problem.line) + ": " + problem.text);
  }
  return out;
}

int config_test(const char* path, FILE* err) {
  const std::vector<std::string> problems = config_check(path);
  for (const std::string& line : problems) fprintf(err, "%s\n", line.c_str());
  return problems.empty() ? 0 : 1;
}
