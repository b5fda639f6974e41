// Fills an arbitrary placeholder into an arbitrary text and checks the
// bounds of what can come out.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "util/substitute.h"

namespace {

// Input layout: placeholder, NUL, replacement, NUL, text.
bool split(std::string_view data, std::string& a, std::string& b, std::string& c) {
  const size_t first = data.find('\0');
  if (first == std::string_view::npos) return false;
  const size_t second = data.find('\0', first + 1);
  if (second == std::string_view::npos) return false;
  a = data.substr(0, first);
  b = data.substr(first + 1, second - first - 1);
  c = text_until_nul(data.substr(second + 1));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string placeholder, replacement, text;
  if (!split(std::string_view(reinterpret_cast<const char*>(data), size), placeholder, replacement,
             text)) {
    return 0;
  }
  OptionalText slot = text;
  substitute(slot, placeholder, replacement);
  FUZZ_CHECK(slot.has_value());
  const std::string& out = *slot;
  if (placeholder.empty() || text.size() < placeholder.size() ||
      (!replacement.empty() && contains_ignore_case(replacement, placeholder))) {
    FUZZ_CHECK(out == text);
    return 0;
  }
  // Every replacement swaps placeholder.size() bytes for replacement.size().
  const long long grow =
      static_cast<long long>(replacement.size()) - static_cast<long long>(placeholder.size());
  const long long delta = static_cast<long long>(out.size()) - static_cast<long long>(text.size());
  const long long most = static_cast<long long>(text.size() / placeholder.size());
  if (grow == 0) {
    FUZZ_CHECK(delta == 0);
  } else {
    FUZZ_CHECK(delta % grow == 0);
    FUZZ_CHECK(delta / grow >= 0 && delta / grow <= most);
  }
  if (!contains_ignore_case(text, placeholder)) FUZZ_CHECK(out == text);
  return 0;
}
