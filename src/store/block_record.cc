#include "store/block_record.h"

#include <climits>
#include <cstdio>
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

namespace {

// " p=<seconds> t=<tag> l=<seconds>", each when the record holds it.
std::string record_fields(const BlockRecord& record) {
  std::string fields;
  if (record.period) fields += " p=" + std::to_string(*record.period);
  if (!record.tag.empty()) fields += " t=" + record.tag;
  if (record.lease) fields += " l=" + std::to_string(*record.lease);
  return fields;
}

// Reads the fields of a value into record: blank-separated "name=value"
// words; unknown names and unreadable values are passed over, so that a
// later release may add fields.
void read_fields(std::string_view fields, BlockRecord& record) {
  while (!fields.empty()) {
    const size_t blank = fields.find(' ');
    const std::string_view word = fields.substr(0, blank);
    fields.remove_prefix(blank == std::string_view::npos ? fields.size() : blank + 1);
    if (word.starts_with("p=")) {
      record.period = parse_digits(word.substr(2), 18);
    } else if (word.starts_with("t=") && word.size() > 2) {
      record.tag = std::string(word.substr(2));
    } else if (word.starts_with("l=")) {
      record.lease = parse_digits(word.substr(2), 18);
    }
  }
}

}  // namespace

std::string gdbm_block_value(const BlockRecord& record) {
  return encode_block_time(record.time) + record_fields(record);
}

std::optional<BlockRecord> gdbm_block_record(std::string_view value) {
  const std::optional<int64_t> time = decode_block_time(value);
  if (!time) return std::nullopt;
  BlockRecord record;
  record.time = *time;
  read_fields(value.substr(kBlockTimeBytes), record);
  return record;
}

std::string redis_block_value(const BlockRecord& record, std::string_view maker) {
  return redis_block_value(record.time, maker) + record_fields(record);
}

std::optional<BlockRecord> redis_block_record(std::string_view value) {
  const std::optional<int64_t> time = redis_block_time(value);
  if (!time) return std::nullopt;
  BlockRecord record;
  record.time = *time;
  // The fields follow the time and the maker.
  const size_t time_end = value.find(' ');
  if (time_end == std::string_view::npos) return record;
  const size_t maker_end = value.find(' ', time_end + 1);
  if (maker_end != std::string_view::npos) read_fields(value.substr(maker_end + 1), record);
  return record;
}

int64_t block_record_period(const BlockRecord& record, int64_t fallback) {
  return record.period.value_or(fallback);
}

bool block_record_other_text(const BlockRecord& record, std::string_view tag) {
  return !tag.empty() && !record.tag.empty() && record.tag != tag;
}

int64_t block_lease_seconds(int mtatimeout) { return int64_t{mtatimeout} + 60; }

bool block_time_from_future(int64_t stored, int64_t now) {
  int64_t ahead;
  if (__builtin_sub_overflow(stored, now, &ahead)) return stored > now;
  return ahead > kBlockFutureSlackSeconds;
}

bool block_record_pending(const BlockRecord& record, int64_t now) {
  return record.lease && !block_time_from_future(record.time, now) &&
         !block_time_expired(record.time, now, *record.lease);
}

bool block_record_blocks(const BlockRecord& record, int64_t now, int64_t period,
                         std::string_view tag) {
  if (block_time_from_future(record.time, now)) return false;
  if (record.lease) return block_record_pending(record, now);
  return !block_time_expired(record.time, now, period) && !block_record_other_text(record, tag);
}

std::string block_text_tag(std::string_view text, bool internal) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  char tag[18];
  snprintf(tag, sizeof tag, "%c%016llx", internal ? 'i' : 'e',
           static_cast<unsigned long long>(hash));
  return tag;
}

BlockInterval block_interval_of(const OptionalText& value, int fallback, int low, int high) {
  BlockInterval interval;
  interval.hours = fallback;
  if (!value) return interval;
  std::string_view digits = trim_blanks(*value);
  const bool negative = digits.starts_with('-');
  if (negative) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    interval.bad = true;
    return interval;
  }
  // A number of more digits than fit is beyond either bound all the same.
  const std::optional<int64_t> number = parse_digits(digits, 18);
  constexpr int64_t kBeyond = int64_t{INT_MAX} + 1;
  int64_t hours = number && *number < kBeyond ? *number : kBeyond;
  if (negative) hours = -hours;
  if (hours < low) hours = low;
  if (hours > high) hours = high;
  interval.own = true;
  interval.hours = static_cast<int>(hours);
  return interval;
}
