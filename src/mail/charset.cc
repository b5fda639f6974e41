#include "mail/charset.h"

#include <iconv.h>
#include <syslog.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "config/config.h"
#include "util/log.h"

namespace {

// Room beyond the input's length that the first output buffer gets; most
// targets need no more, and the buffer doubles whenever it fills up.
constexpr size_t kOutputSlack = 16;

// Owns one conversion descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// The converted bytes so far and the room after them.
struct Output {
  std::string buffer;
  size_t used = 0;
};

// One iconv call into the free room of out; out.used grows by what it wrote.
// A null in flushes the converter's shift state. Returns 0 when the call
// succeeded, otherwise its errno.
int convert_some(iconv_t cd, char** in, size_t* in_left, Output& out) {
  char* position = out.buffer.data() + out.used;
  size_t room = out.buffer.size() - out.used;
  const size_t result = iconv(cd, in, in_left, &position, &room);
  out.used = static_cast<size_t>(position - out.buffer.data());
  return result == static_cast<size_t>(-1) ? errno : 0;
}

// The length of the UTF-8 sequence that text starts with (Unicode's table
// of well-formed byte sequences: no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when it starts with no whole, valid sequence.
size_t utf8_sequence_length(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto within = [&](size_t i, unsigned char low, unsigned char high) {
    return i < text.size() && byte(i) >= low && byte(i) <= high;
  };
  if (text.empty()) return 0;
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return within(1, 0x80, 0xBF) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return within(1, low, high) && within(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return within(1, low, high) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// What becomes of input that the converter refuses.
enum class Refused {
  kDropByte,  // one byte goes, whatever it starts (input in any charset)
  kReplace,   // UTF-8 input: a valid character the target lacks becomes '?'
  kIgnore,    // UTF-8 input: such a character goes whole (iconv's //IGNORE)
};

// How a name asks iconv to treat characters the target lacks.
Refused refused_for(std::string_view name) {
  constexpr std::string_view kIgnore = "//IGNORE";
  for (size_t pos = 0; pos + kIgnore.size() <= name.size(); ++pos) {
    if (equals_ignore_case(name.substr(pos, kIgnore.size()), kIgnore)) return Refused::kIgnore;
  }
  return Refused::kReplace;
}

// Puts '?' into out, in the target charset. A target without '?' gets
// nothing.
void put_replacement(iconv_t cd, Output& out) {
  char question_mark = '?';
  char* in = &question_mark;
  size_t in_left = 1;
  while (convert_some(cd, &in, &in_left, out) == E2BIG) out.buffer.resize(out.buffer.size() * 2);
}

// text converted through cd, every byte of it, NUL bytes included; refused
// says what becomes of input that the converter will not take. replaced, when
// given, is set once a character became '?'.
std::string convert_all(iconv_t cd, std::string_view text, Refused refused,
                        bool* replaced = nullptr) {
  if (text.empty()) return std::string();
  Output out;
  out.buffer.resize(text.size() + kOutputSlack);
  // iconv takes the input as char** for historical reasons; it only reads it.
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    const int error = convert_some(cd, &in, &in_left, out);
    if (error == E2BIG) {
      out.buffer.resize(out.buffer.size() * 2);
      continue;
    }
    // glibc's //IGNORE skips by itself and tells of it at the end.
    if (error == 0 || in_left == 0) continue;
    // An invalid or incomplete sequence, or a character the target lacks.
    const size_t character =
        refused == Refused::kDropByte ? 0 : utf8_sequence_length(std::string_view(in, in_left));
    // Not a character: one byte goes, so a bad sequence goes byte by byte.
    const size_t skipped = character == 0 ? 1 : character;
    in += skipped;
    in_left -= skipped;
    if (character != 0 && refused == Refused::kReplace) {
      put_replacement(cd, out);
      if (replaced != nullptr) *replaced = true;
    }
  }
  // A stateful target (ISO-2022-JP) must end with the escape back to ASCII.
  while (convert_some(cd, nullptr, nullptr, out) == E2BIG) out.buffer.resize(out.buffer.size() * 2);
  out.buffer.resize(out.used);
  return std::move(out.buffer);
}

}  // namespace

bool charset_usable(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  const Converter converter(std::string(name).c_str(), "UTF-8");
  return converter.valid();
}

Outcome convert_charset(std::string& text) {
  if (!g_config.charset) return Outcome::done();
  const std::string& name = *g_config.charset;
  const Converter converter(name.c_str(), "UTF-8");
  if (!converter.valid()) {
    return Outcome::retry(
        LOG_ERR, "CRIT/MAIL charset " + log_safe(name) + " cannot be used: " + strerror(errno));
  }
  bool replaced = false;
  std::string converted =
      convert_all(converter.get(), text_until_nul(text), refused_for(name), &replaced);
  // Everything after this step sees the text up to its first NUL byte only;
  // cutting it here keeps what is sent and what is logged the same.
  converted.resize(text_until_nul(converted).size());
  text = std::move(converted);
  if (replaced) {
    log_message(LOG_WARNING, "WARN/MAIL charset %s cannot hold every character",
                log_safe(name).c_str());
  }
  return Outcome::done();
}

Outcome convert_charset(OptionalText& slot) {
  if (!slot) return Outcome::done();
  return convert_charset(*slot);
}

OptionalText decode_charset(std::string_view bytes, const std::string& from) {
  const Converter converter("UTF-8", from.c_str());
  if (!converter.valid()) return std::nullopt;
  return convert_all(converter.get(), bytes, Refused::kDropByte);
}
