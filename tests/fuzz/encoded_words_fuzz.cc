// Decodes arbitrary subjects, as a sender may write them, and checks what a
// reply relies on: text without encoded-words comes back as it stands, and
// no decoded word adds a line break or a NUL byte, or more than a bounded
// number of bytes per byte.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mail/encoded_words.h"

namespace {

size_t count_of(std::string_view text, char c) {
  size_t n = 0;
  for (const char byte : text) n += byte == c;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = decode_encoded_words(text);
  if (text.find("=?") == std::string_view::npos) FUZZ_CHECK(decoded == text);
  // Line breaks and NUL bytes come only from the text outside the words.
  for (const char c : {'\r', '\n', '\0'}) FUZZ_CHECK(count_of(decoded, c) <= count_of(text, c));
  // An encoded byte takes at least one byte of text; a charset such as
  // TSCII makes one byte several characters, but never 16 bytes of UTF-8.
  FUZZ_CHECK(decoded.size() <= 16 * text.size());
  return 0;
}
