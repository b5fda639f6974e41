#include "mail/charset.h"

#include <iconv.h>
#include <syslog.h>
#include <cerrno>
#include <cstring>
#include <string_view>

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

// text converted through cd, every byte of it, NUL bytes included.
std::string convert_all(iconv_t cd, std::string_view text) {
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
    } else if (error != 0 && in_left > 0) {
      // An invalid or incomplete sequence, or a character the target lacks:
      // drop one byte and go on, so a bad sequence goes byte by byte.
      ++in;
      --in_left;
    }
  }
  // A stateful target (ISO-2022-JP) must end with the escape back to ASCII.
  while (convert_some(cd, nullptr, nullptr, out) == E2BIG) out.buffer.resize(out.buffer.size() * 2);
  out.buffer.resize(out.used);
  return std::move(out.buffer);
}

std::string convert(iconv_t cd, std::string_view text) {
  std::string converted = convert_all(cd, text);
  // Everything after this step sees the text up to its first NUL byte only;
  // cutting it here keeps what is sent and what is logged the same.
  converted.resize(text_until_nul(converted).size());
  return converted;
}

}  // namespace

void convert_charset(std::string& text) {
  if (!g_config.charset) return;
  const Converter converter(g_config.charset->c_str(), "UTF-8");
  if (!converter.valid()) {
    log_message(LOG_WARNING, "WARN/MAIL charset conversion failed (errno: %s)", strerror(errno));
    return;
  }
  text = convert(converter.get(), text_until_nul(text));
}

void convert_charset(OptionalText& slot) {
  if (slot) convert_charset(*slot);
}

OptionalText decode_charset(std::string_view bytes, const std::string& from) {
  const Converter converter("UTF-8", from.c_str());
  if (!converter.valid()) return std::nullopt;
  return convert_all(converter.get(), bytes);
}
