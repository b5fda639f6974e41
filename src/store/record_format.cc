#include "store/record_format.h"

std::string stored_key(std::string_view text) {
  std::string key;
  key.reserve(text.size() + 1);
  key.append(text);
  key.push_back('\0');
  return key;
}

std::optional<std::string_view> key_text(std::string_view key) {
  if (key.empty() || key.back() != '\0') return std::nullopt;
  key.remove_suffix(1);
  if (key.find('\0') != std::string_view::npos) return std::nullopt;
  return key;
}

datum datum_over(const std::string& bytes) {
  return datum{const_cast<char*>(bytes.data()), static_cast<int>(bytes.size())};
}
