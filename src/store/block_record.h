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
// reply> <who made it>" (a run's "<host>:<pid>", or "import"), so that a run
// withdraws only its own claim. A key expires by itself when it stops
// blocking (block_seconds_left).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
