#include "mail/encoded_words.h"

#include <cstring>
#include <optional>

#include "mail/charset.h"
#include "util/strings.h"

namespace {

// Longer charset names than this are no charset iconv knows.
constexpr size_t kMaxCharsetLength = 64;

// One encoded-word: its charset (language cut), its decoded bytes and
// where it ends in the text.
struct EncodedWord {
  std::string_view charset;
  std::string bytes;
  size_t end = 0;
};

bool is_linear_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A byte of a token (RFC 2047, section 2): no blank, control or especial.
bool is_token_byte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f && std::strchr("()<>@,;:\"/[]?.=", c) == nullptr;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = ascii_lower(c);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::optional<std::string> decode_q(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] != '=') {
      out.push_back(text[i]);
    } else {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
  }
  return out;
}

// Base64 with its '=' padding optional; padding may only end the text.
std::optional<std::string> decode_b(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  std::string out;
  out.reserve(text.size() * 3 / 4);
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = base64_value(c);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  // A lone sixth of a byte is no base64.
  if (count >= 6) return std::nullopt;
  return out;
}

// The encoded-word that starts at start ("=?"), when it is well formed.
std::optional<EncodedWord> parse_word(std::string_view text, size_t start) {
  size_t pos = start + 2;
  const size_t charset_start = pos;
  while (pos < text.size() && (is_token_byte(text[pos]) || text[pos] == '*')) ++pos;
  std::string_view charset = text.substr(charset_start, pos - charset_start);
  charset = charset.substr(0, charset.find('*'));
  if (charset.empty() || charset.size() > kMaxCharsetLength) return std::nullopt;
  if (pos + 2 >= text.size() || text[pos] != '?' || text[pos + 2] != '?') return std::nullopt;
  const char encoding = ascii_lower(text[pos + 1]);
  pos += 3;
  const size_t encoded_start = pos;
  while (pos < text.size() && text[pos] != '?' && static_cast<unsigned char>(text[pos]) > 0x20 &&
         text[pos] != 0x7f) {
    ++pos;
  }
  if (pos + 1 >= text.size() || text[pos] != '?' || text[pos + 1] != '=') return std::nullopt;
  const std::string_view encoded = text.substr(encoded_start, pos - encoded_start);
  std::optional<std::string> bytes;
  if (encoding == 'q') bytes = decode_q(encoded);
  if (encoding == 'b') bytes = decode_b(encoded);
  if (!bytes) return std::nullopt;
  return EncodedWord{charset, std::move(*bytes), pos + 2};
}

// Decodes one text, keeping adjacent encoded-words of one charset as one
// run of bytes until it ends.
class Decoder {
 public:
  explicit Decoder(std::string_view text) : text_(text) {}

  std::string run() {
    size_t pos = 0;
    size_t literal_start = 0;
    while ((pos = text_.find("=?", pos)) != std::string_view::npos) {
      std::optional<EncodedWord> word = parse_word(text_, pos);
      if (!word) {
        pos += 2;
        continue;
      }
      take_literal(text_.substr(literal_start, pos - literal_start));
      take_word(*word, pos);
      pos = literal_start = word->end;
    }
    flush();
    out_.append(text_.substr(literal_start));
    return std::move(out_);
  }

 private:
  // Text between encoded-words: only blanks between two of them go.
  void take_literal(std::string_view literal) {
    if (pending_ && is_blank_run(literal)) {
      gap_ = literal;
      return;
    }
    flush();
    out_.append(literal);
  }

  void take_word(const EncodedWord& word, size_t start) {
    // The blanks before a word of another charset go only when the words on
    // both sides of them are decoded.
    std::string_view leading;
    if (pending_ && !equals_ignore_case(charset_, word.charset)) {
      if (flush()) {
        leading = gap_;
      } else {
        out_.append(gap_);
      }
    }
    if (!pending_) {
      pending_ = true;
      charset_ = word.charset;
      leading_ = leading;
      run_start_ = start;
      bytes_.clear();
    }
    bytes_.append(word.bytes);
    run_end_ = word.end;
  }

  // Converts the pending run into out_; false, the words and the blanks
  // before them left as they stand, for a charset without a converter.
  bool flush() {
    if (!pending_) return true;
    pending_ = false;
    const OptionalText converted = decode_charset(bytes_, std::string(charset_));
    if (!converted) {
      out_.append(leading_);
      out_.append(text_.substr(run_start_, run_end_ - run_start_));
      return false;
    }
    for (const char c : *converted) out_.push_back(c == '\r' || c == '\n' || c == '\0' ? ' ' : c);
    return true;
  }

  static bool is_blank_run(std::string_view literal) {
    for (const char c : literal) {
      if (!is_linear_blank(c)) return false;
    }
    return true;
  }

  std::string_view text_;
  std::string out_;
  bool pending_ = false;
  std::string_view charset_;
  // The blanks after the pending run, and those before it that were
  // dropped when it began.
  std::string_view gap_;
  std::string_view leading_;
  std::string bytes_;
  size_t run_start_ = 0;
  size_t run_end_ = 0;
};

}  // namespace

std::string decode_encoded_words(std::string_view text) {
  if (text.find("=?") == std::string_view::npos) return std::string(text);
  return Decoder(text).run();
}
