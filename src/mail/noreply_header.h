// The site's own marks of mail not to answer: the noreply_header lines (a
// header name and a POSIX extended regular expression), for spam verdicts
// and the like. They count whatever rfc3834 says.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "util/outcome.h"

// Checks the unfolded header lines of one message against
// g_config.noreply_headers. A pattern is compiled the first time a header of
// its name turns up, and kept for the rest of the message: compiling costs
// far more than a declined message does otherwise, and most messages hold
// none of the headers.
class NoreplyHeaderRules {
 public:
  NoreplyHeaderRules();
  ~NoreplyHeaderRules();
  NoreplyHeaderRules(const NoreplyHeaderRules&) = delete;
  NoreplyHeaderRules& operator=(const NoreplyHeaderRules&) = delete;

  // The configured name (the first line's text that applies) when the
  // header "name: value" is one of the configured names, ASCII case
  // ignored, and its value, without leading blanks (space, tab) and the CR
  // of a CR LF line end, matches that line's pattern, case ignored; null
  // otherwise. A pattern that does not compile is the configuration error
  // "CRIT/CFG noreply_header <name>: <regerror text>" at priority err.
  Result<const char*> match(std::string_view name, std::string_view value);

 private:
  class Pattern;
  // Index-aligned with g_config.noreply_headers; empty until a header of a
  // configured name is met, then one slot each, filled when first used.
  std::vector<std::unique_ptr<Pattern>> patterns_;
};
