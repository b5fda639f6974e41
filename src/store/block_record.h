// The block record: what a store keeps to remember that a sender was
// answered on behalf of a receiver, in the GDBM files and on Redis alike,
// and the one rule for how long it blocks. Made and read here alone, so that
// orvelt, its two stores and orvelt-db cannot come to disagree about them.
//
// GDBM: one file per receiver (block_file_path, store/gdbm_block_store.h);
// in it the key is the sender with its NUL byte (stored_key), the value the
// time of the last reply in seconds since the epoch, 8 bytes, a signed
// 64-bit integer in host byte order.
//
// Redis: one key per receiver and sender: the prefix, the receiver's length
// in decimal, ':', the receiver, then the sender. The value is "<time of the
// reply> <who made it>" (a store's "<host>:<pid>.<n>", earlier a run's
// "<host>:<pid>", or "import"), so that a run withdraws only its own claim.
// A key expires by itself when it stops
// blocking (block_seconds_left).
//
// Either value may go on with fields of its own after those (BlockRecord):
// " p=<seconds>", the period the record blocks for when it was made under
// the receiver's own interval, " t=<tag>", the tag of the text that was
// sent, and " l=<seconds>" on a pending record: a claim whose reply is still
// on its way to the MTA (block_record_pending). Programs and scripts that read only the time (the
// first 8 bytes, the first number) keep reading records with them; a record without them blocks for
// blockexpire, whatever text it answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "util/strings.h"

// A receiver that may have block records at all: not empty, no NUL byte and
// no blank at either end. The directory matches an address ignoring blanks
// at either end, so such a receiver would be given a record of its own for
// every number of blanks, and a reply for each.
bool block_receiver_acceptable(std::string_view receiver);

// The period a reply blocks for, blockexpire hours, in seconds.
int64_t block_period_seconds(int hours);

// The one rule for when a reply made at stored stops blocking: now - stored
// > period, exactly, in 64-bit arithmetic. A difference beyond 64 bits can
// only come from a stored time far in the past (or a corrupt record), which
// counts as expired; one far in the future blocks.
bool block_time_expired(int64_t stored, int64_t now, int64_t period);

// The seconds a reply made at stored still blocks at now under that rule: 0
// once expired; otherwise the period less the time since, plus the second
// in which the reply was made, so that a record made now blocks for period
// + 1 seconds. A time in the future counts as now. What a Redis key's expiry
// is set to.
int64_t block_seconds_left(int64_t stored, int64_t now, int64_t period);

// The size of a block time as stored in a GDBM file.
inline constexpr size_t kBlockTimeBytes = sizeof(int64_t);

// The stored form of a block time: kBlockTimeBytes bytes.
std::string encode_block_time(int64_t seconds);

// The time a stored GDBM block value holds: its first kBlockTimeBytes bytes.
// None for a shorter value, which is no record the program wrote and blocks
// nothing.
std::optional<int64_t> decode_block_time(std::string_view value);

// The Redis key of receiver and sender under prefix. No two pairs share a
// key, whatever bytes the addresses hold.
std::string redis_block_key(std::string_view prefix, std::string_view receiver,
                            std::string_view sender);

// The receiver and sender of a key made by redis_block_key under prefix;
// none for a key of any other shape.
std::optional<std::pair<std::string, std::string>> redis_block_key_parts(std::string_view prefix,
                                                                         std::string_view key);

// The Redis value of a reply made at time by maker.
std::string redis_block_value(int64_t time, std::string_view maker);

// The reply time at the start of a Redis value; none when the value does
// not start with a decimal number.
std::optional<int64_t> redis_block_time(std::string_view value);

// One record with everything it holds.
struct BlockRecord {
  int64_t time = 0;                             // the reply, seconds since the epoch
  std::optional<int64_t> period;                // seconds it blocks for, when its own
  std::string tag;                              // the tag of the text sent; empty: none
  std::optional<int64_t> lease = std::nullopt;  // pending: the seconds the claim holds for
                                                // from time; none: the reply went out
};

// How long a claim holds before its reply is confirmed: the MTA's time
// limit and a minute more. A run that dies in between (killed, a crash)
// leaves a pending record that stops counting after this.
int64_t block_lease_seconds(int mtatimeout);

// How far ahead of now a record may be dated and still count: a clock set
// back since it was written. A record further ahead (written while the
// clock ran ahead) would block its sender until then plus the period.
inline constexpr int64_t kBlockFutureSlackSeconds = 3600;

// Whether a record made at stored is dated more than kBlockFutureSlackSeconds
// after now: it counts as no record.
bool block_time_from_future(int64_t stored, int64_t now);

// Whether record is a pending claim that still holds at now: it has a lease,
// now - time <= lease, and it is not from the future. A pending record whose
// lease ran out counts as no record.
bool block_record_pending(const BlockRecord& record, int64_t now);

// The GDBM value of record: the block time, then the record's fields.
std::string gdbm_block_value(const BlockRecord& record);

// The record a GDBM value holds; none for a value too short for a time.
// A field that does not read as one is passed over.
std::optional<BlockRecord> gdbm_block_record(std::string_view value);

// The Redis value of record made by maker (no blank in it).
std::string redis_block_value(const BlockRecord& record, std::string_view maker);

// The record a Redis value holds; none when it does not start with a time.
std::optional<BlockRecord> redis_block_record(std::string_view value);

// The seconds record blocks for: its own period, else fallback.
int64_t block_record_period(const BlockRecord& record, int64_t fallback);

// Whether record answered another text than tag names: both tags given and
// different.
bool block_record_other_text(const BlockRecord& record, std::string_view tag);

// Whether record still blocks a reply at now under period, the interval of
// the claim: not once expired, not when tag and the record's tag are
// both given and differ (another text), not when it is from the future
// (block_time_from_future). A pending record blocks while it holds
// (block_record_pending), whatever its tag, and not after: whoever claims
// must tell the two cases apart first. A record without a tag blocks
// whatever text is sent now.
bool block_record_blocks(const BlockRecord& record, int64_t now, int64_t period,
                         std::string_view tag);

// The tag of a reply text as it stands in the directory, before any
// placeholder is filled: 'i' for an internal text, 'e' for the other, then
// the 64-bit FNV-1a hash of its bytes in 16 lowercase hex digits. The same
// on every host and in every release.
std::string block_text_tag(std::string_view text, bool internal);

// A receiver's own interval, in hours.
struct BlockInterval {
  int hours = 0;
  bool own = false;  // taken from the value (clamped), not the fallback
  bool bad = false;  // the value is no whole number: fallback used
};

// The interval of value, the receiver's own: a whole number of hours
// (digits alone, blanks at either end ignored) clamped to [low, high];
// fallback (blockexpire, not clamped) when value is absent or no such
// number (bad).
BlockInterval block_interval_of(const OptionalText& value, int fallback, int low, int high);
