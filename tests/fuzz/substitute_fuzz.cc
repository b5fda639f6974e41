// Fills two arbitrary placeholders into an arbitrary text and checks the
// bounds of what can come out.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "util/substitute.h"

namespace {

// Input layout: placeholder, NUL, value, NUL, second placeholder, NUL,
// second value, NUL, text.
bool split(std::string_view data, std::string (&parts)[5]) {
  for (int i = 0; i < 4; ++i) {
    const size_t end = data.find('\0');
    if (end == std::string_view::npos) return false;
    parts[i] = data.substr(0, end);
    data.remove_prefix(end + 1);
  }
  parts[4] = text_until_nul(data);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string parts[5];
  if (!split(std::string_view(reinterpret_cast<const char*>(data), size), parts)) return 0;
  const Placeholder placeholders[] = {{parts[0], parts[1]}, {parts[2], parts[3]}};
  const std::string& text = parts[4];
  const std::string plain = fill_in(text, placeholders);
  const std::string cleaned = fill_in(text, placeholders, HeaderValues::kCleaned);
  // Cleaning only ever changes or drops bytes of values.
  FUZZ_CHECK(cleaned.size() <= plain.size());
  if (parts[0].empty() && parts[2].empty()) {
    FUZZ_CHECK(plain == text);
    FUZZ_CHECK(cleaned == text);
    return 0;
  }
  // With a single placeholder each occurrence swaps its bytes for the value:
  // the length changes by a multiple of the difference, at most once per
  // placeholder-sized piece of the text.
  if (parts[2].empty()) {
    const long long grow =
        static_cast<long long>(parts[1].size()) - static_cast<long long>(parts[0].size());
    const long long delta =
        static_cast<long long>(plain.size()) - static_cast<long long>(text.size());
    const long long most = static_cast<long long>(text.size() / parts[0].size());
    if (grow == 0) {
      FUZZ_CHECK(delta == 0);
    } else {
      FUZZ_CHECK(delta % grow == 0);
      FUZZ_CHECK(delta / grow >= 0 && delta / grow <= most);
    }
    if (!contains_ignore_case(text, parts[0])) FUZZ_CHECK(plain == text);
  }
  return 0;
}
