#include "dbtool/key_lines.h"

#include <cerrno>

#include "util/address.h"

KeyOrReason key_from_line(const std::string& line, KeyKind kind) {
  // The program sees the text of a line only up to a NUL byte, and a
  // newline always ends a line: neither can be part of a key it looks up.
  if (line.find('\0') != std::string::npos) return {{}, "contains a NUL byte"};
  if (line.find('\n') != std::string::npos) return {{}, "contains a newline"};
  if (line.empty()) return {};
  if (kind == KeyKind::kHeaderLine) {
    if (line.size() > kMaxHeaderLineBytes) {
      return {{},
              "longer than " + std::to_string(kMaxHeaderLineBytes) +
                  " bytes, so no header line can ever match it"};
    }
    return {line, {}};
  }
  OptionalText address = line;
  normalize_address(address);
  if (!address) return {{}, "holds no address"};
  return {std::move(*address), {}};
}

namespace {

// Collects one line at a time from the chunks read, holding at most
// kMaxInputLine + 1 bytes of it.
class LineSplitter {
 public:
  LineSplitter(KeyKind kind, KeyLines& result) : kind_(kind), result_(result) {}

  void feed(const char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] == '\n') {
        finish_line();
      } else if (line_.size() <= kMaxInputLine) {
        line_.push_back(bytes[i]);
      }
    }
  }

  // The last line, when the input does not end with a newline.
  void finish_input() {
    if (!line_.empty()) finish_line();
  }

 private:
  void finish_line() {
    ++number_;
    if (line_.size() > kMaxInputLine) {
      result_.rejected.push_back(
          {number_, "longer than " + std::to_string(kMaxInputLine) + " bytes"});
    } else if (!line_.empty()) {
      KeyOrReason k = key_from_line(line_, kind_);
      if (k.reason.empty()) {
        result_.keys.push_back(std::move(k.key));
      } else {
        result_.rejected.push_back({number_, std::move(k.reason)});
      }
    }
    line_.clear();
  }

  KeyKind kind_;
  KeyLines& result_;
  std::string line_;
  size_t number_ = 0;
};

}  // namespace

bool read_key_lines(FILE* in, KeyKind kind, KeyLines& result) {
  errno = 0;
  LineSplitter splitter(kind, result);
  char chunk[16384];
  for (;;) {
    const size_t got = fread(chunk, 1, sizeof chunk, in);
    splitter.feed(chunk, got);
    if (got < sizeof chunk) break;
  }
  if (ferror(in)) {
    if (errno == 0) errno = EIO;
    return false;
  }
  splitter.finish_input();
  return true;
}
