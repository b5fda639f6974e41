#include "store/block_record.h"

#include <cstring>

#include "util/strings.h"

bool block_receiver_acceptable(std::string_view receiver) {
  return !receiver.empty() && receiver.find('\0') == std::string_view::npos &&
         receiver.front() != ' ' && receiver.back() != ' ';
}

int64_t block_period_seconds(int hours) { return int64_t{hours} * 3600; }

bool block_time_expired(int64_t stored, int64_t now, int64_t period) {
  int64_t elapsed;
  if (__builtin_sub_overflow(now, stored, &elapsed)) return stored < 0;
  return elapsed > period;
}

int64_t block_seconds_left(int64_t stored, int64_t now, int64_t period) {
  if (block_time_expired(stored, now, period)) return 0;
  int64_t elapsed;
  // Not expired and beyond 64 bits: a time far in the future.
  if (__builtin_sub_overflow(now, stored, &elapsed) || elapsed < 0) elapsed = 0;
  return period - elapsed + 1;
}

std::string encode_block_time(int64_t seconds) {
  std::string bytes(kBlockTimeBytes, '\0');
  memcpy(bytes.data(), &seconds, kBlockTimeBytes);
  return bytes;
}

std::optional<int64_t> decode_block_time(std::string_view value) {
  if (value.size() < kBlockTimeBytes) return std::nullopt;
  int64_t seconds;
  memcpy(&seconds, value.data(), kBlockTimeBytes);
  return seconds;
}

std::string redis_block_key(std::string_view prefix, std::string_view receiver,
                            std::string_view sender) {
  std::string key(prefix);
  key += std::to_string(receiver.size());
  key += ':';
  key += receiver;
  key += sender;
  return key;
}

std::optional<std::pair<std::string, std::string>> redis_block_key_parts(std::string_view prefix,
                                                                         std::string_view key) {
  if (!key.starts_with(prefix)) return std::nullopt;
  key.remove_prefix(prefix.size());
  const size_t colon = key.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<int64_t> length = parse_digits(key.substr(0, colon), 9);
  if (!length) return std::nullopt;
  key.remove_prefix(colon + 1);
  const size_t receiver_size = static_cast<size_t>(*length);
  if (receiver_size > key.size()) return std::nullopt;
  return std::pair{std::string(key.substr(0, receiver_size)),
                   std::string(key.substr(receiver_size))};
}

std::string redis_block_value(int64_t time, std::string_view maker) {
  std::string value = std::to_string(time);
  value += ' ';
  value += maker;
  return value;
}

std::optional<int64_t> redis_block_time(std::string_view value) {
  return parse_digits(value.substr(0, value.find(' ')), 18);
}
