// Converts arbitrary bytes, as a directory value may hold them, from UTF-8
// into one of several charsets and checks what can be checked of the result.
//
// Input layout: one byte that picks the target charset, then the text.
#include <cstdint>
#include <string>

#include "config/config.h"
#include "fuzz_support.h"
#include "mail/charset.h"
#include "support/to_utf8.h"

namespace {

const char* const kCharsets[] = {"UTF-8",       "ISO-8859-1", "ISO-8859-15", "US-ASCII",
                                 "ISO-2022-JP", "SHIFT_JIS",  "UTF-16",      "NO-SUCH-CHARSET"};

// True when out can be had from in by dropping bytes.
bool is_subsequence(const std::string& out, std::string_view in) {
  size_t at = 0;
  for (const char c : out) {
    at = in.find(c, at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return true;
}

// True when the whole of text converts from charset back into UTF-8.
bool converts_back(const std::string& text, const char* charset) {
  return convert_to_utf8(text, charset).error == 0;
}

bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) > 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (fuzz_quiet_log(), true);
  (void)quiet;
  if (size == 0) return 0;
  const char* charset = kCharsets[data[0] % std::size(kCharsets)];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string_view text = text_until_nul(input);

  config_set_defaults();
  g_config.charset = charset;
  std::string converted(input);
  const bool usable = convert_charset(converted).ok();

  const std::string name = charset;
  if (name == "NO-SUCH-CHARSET") {
    FUZZ_CHECK(!usable);
    FUZZ_CHECK(converted == input);  // left alone, NUL bytes and all
    return 0;
  }
  FUZZ_CHECK(usable);
  FUZZ_CHECK(converted.find('\0') == std::string::npos);
  if (name == "UTF-8") {
    FUZZ_CHECK(is_subsequence(converted, text));
  } else if (name.rfind("ISO-8859", 0) == 0 || name == "US-ASCII") {
    FUZZ_CHECK(converted.size() <= text.size());
    if (is_ascii(text)) FUZZ_CHECK(converted == text);
  }
  // The target's own stream is well-formed: it converts back whole. An ESC
  // in the text passes into ISO-2022-JP as it stands (it is ASCII) and
  // there starts an escape sequence of its own, so such texts are left out.
  const bool stray_escape = name == "ISO-2022-JP" && text.find('\x1b') != std::string_view::npos;
  if ((name == "ISO-2022-JP" || name == "SHIFT_JIS" || name.rfind("ISO-8859", 0) == 0) &&
      !stray_escape) {
    FUZZ_CHECK(converts_back(converted, charset));
  }
  return 0;
}
