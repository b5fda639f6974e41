#include "util/address.h"

namespace {

// '+' and '=' are kept so that sub-addresses (box+tag@host) and BATV/SRS
// envelope senders (prvs=123=user@host) survive in bare form.
bool is_address_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '-' || c == '.' || c == '_' || c == '+' || c == '=';
}

// One address, not a list or a fragment of header syntax: at most one '@'
// and none of the bytes that separate addresses or lines. A bracketed form
// keeps whatever stands between its brackets, so "<a@b, c@d>" would
// otherwise name several people, and the reply go to all of them.
bool is_single_address(std::string_view address) {
  size_t ats = 0;
  for (const char byte : address) {
    const auto c = static_cast<unsigned char>(byte);
    if (c < 0x20 || c == 0x7f || c == ' ' || c == ',' || c == ';' || c == '<' || c == '>') {
      return false;
    }
    if (c == '@' && ++ats > 1) return false;
  }
  return true;
}

}  // namespace

void normalize_address(OptionalText& slot) {
  if (!slot) return;
  std::string work = *slot;
  const size_t open = work.find('<');
  const size_t close = work.rfind('>');
  // A '>' at the very first byte leaves nothing before it: counts as absent.
  const bool bracketed = open != std::string::npos && close != std::string::npos && close > 0;
  if (bracketed) {
    const size_t first = open + 1;  // first byte inside the brackets
    const size_t last = close - 1;  // last byte inside the brackets
    for (size_t i = 0; i < work.size(); ++i) {
      if (first > last || i < first || i > last) work[i] = '*';
    }
  } else {
    for (char& c : work) {
      if (!is_address_byte(static_cast<unsigned char>(c))) c = '*';
    }
  }
  StringList tokens = tokenize(work, 1, '*');
  if (tokens.empty() || !is_single_address(tokens.front())) {
    slot.reset();
    return;
  }
  std::string address = std::move(tokens.front());
  for (char& c : address) c = ascii_lower(c);
  slot = std::move(address);
}

bool is_sender_address(std::string_view address) {
  const size_t at = address.find('@');
  return at != std::string_view::npos && at > 0 && at + 1 < address.size() &&
         address.find('@', at + 1) == std::string_view::npos;
}

void cut_address_extension(std::string& address, std::string_view delimiters) {
  if (delimiters.empty()) return;
  const size_t at = address.rfind('@');
  const size_t local_end = at == std::string::npos ? address.size() : at;
  const size_t cut = std::string_view(address).substr(0, local_end).find_first_of(delimiters);
  if (cut == std::string_view::npos || cut == 0) return;
  address.erase(cut, local_end - cut);
}
