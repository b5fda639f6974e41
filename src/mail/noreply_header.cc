#include "mail/noreply_header.h"

#include <regex.h>
#include <syslog.h>

#include <string>

#include "config/config.h"
#include "util/log.h"
#include "util/strings.h"

// Owns one compiled pattern: regfree'd exactly once, and only when
// regcomp succeeded (a failed regcomp leaves nothing to free).
class NoreplyHeaderRules::Pattern {
 public:
  explicit Pattern(const std::string& pattern)
      : error_(regcomp(&regex_, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB)) {}
  ~Pattern() {
    if (error_ == 0) regfree(&regex_);
  }
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  bool compiled() const { return error_ == 0; }

  // regerror's text for the failed compilation.
  std::string error_text() const {
    char text[256];
    regerror(error_, &regex_, text, sizeof text);
    return text;
  }

  bool matches(const std::string& text) const {
    return regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
  }

 private:
  regex_t regex_;
  int error_;
};

namespace {

// The value as the patterns see it: without the blanks before it and the CR
// that a CR LF line end leaves behind.
std::string matched_text(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  return std::string(value);
}

}  // namespace

NoreplyHeaderRules::NoreplyHeaderRules() = default;
NoreplyHeaderRules::~NoreplyHeaderRules() = default;

Result<const char*> NoreplyHeaderRules::match(std::string_view name, std::string_view value) {
  const std::vector<NoreplyHeader>& rules = g_config.noreply_headers;
  for (size_t i = 0; i < rules.size(); ++i) {
    if (!equals_ignore_case(name, rules[i].name)) continue;
    if (patterns_.empty()) patterns_.resize(rules.size());
    if (!patterns_[i]) patterns_[i] = std::make_unique<Pattern>(rules[i].pattern);
    if (!patterns_[i]->compiled()) {
      return Outcome::config_error(LOG_ERR, "CRIT/CFG noreply_header " + log_safe(rules[i].name) +
                                                ": " + patterns_[i]->error_text());
    }
    if (patterns_[i]->matches(matched_text(value))) return rules[i].name.c_str();
  }
  return static_cast<const char*>(nullptr);
}
