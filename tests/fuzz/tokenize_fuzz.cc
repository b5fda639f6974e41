// Splits arbitrary text and checks what every caller relies on.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "util/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const int limit = static_cast<int8_t>(data[1]) % 8;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  const StringList tokens = tokenize(text, limit, delimiter);
  if (limit >= 0) FUZZ_CHECK(tokens.size() <= static_cast<size_t>(limit) + 1);
  size_t from = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    FUZZ_CHECK(!t.empty());
    FUZZ_CHECK(t.front() != delimiter && t.back() != delimiter);
    // Only the last token under a limit may hold the delimiter.
    const bool may_hold = limit >= 0 && i == static_cast<size_t>(limit);
    if (!may_hold) FUZZ_CHECK(t.find(delimiter) == std::string::npos);
    // Tokens are pieces of the text, in order.
    const size_t at = text.find(t, from);
    FUZZ_CHECK(at != std::string_view::npos);
    from = at + t.size();
  }
  // Text without any non-delimiter byte yields nothing, anything else something.
  FUZZ_CHECK(tokens.empty() == (text.find_first_not_of(delimiter) == std::string_view::npos));
  return 0;
}
