// The bytes that orvelt keeps in its GDBM files, made and read here alone,
// so that orvelt and orvelt-db cannot come to disagree about them.
//
// Key, in every database: the text followed by its terminating NUL byte. A
// key stored without that byte is never found by a lookup.
// Value of a block file: the time of the last reply in seconds since the
// epoch, 8 bytes, a signed 64-bit integer in host byte order.
#pragma once

#include <gdbm.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The size of a block time as stored.
inline constexpr size_t kBlockTimeBytes = sizeof(int64_t);

// The key of text as stored: its bytes as they are, then one NUL byte.
std::string stored_key(std::string_view text);

// The text a stored key stands for: its bytes less the terminating NUL
// byte, a view into key (which must outlive it). None for a key that no
// lookup can find: one without that NUL byte, or with another NUL byte
// before it.
std::optional<std::string_view> key_text(std::string_view key);

// A datum over all of bytes (a stored key or value), to hand to GDBM, which
// only reads through it. It points into bytes and owns nothing: bytes must
// outlive every use of the datum and stay unchanged meanwhile. A temporary
// would be gone before the datum is used, so none is taken. bytes.size()
// must fit in an int; callers refuse longer texts first.
datum datum_over(const std::string& bytes);
datum datum_over(const std::string&& bytes) = delete;

// The stored form of a block time: kBlockTimeBytes bytes.
std::string encode_block_time(int64_t seconds);

// The time a stored block value holds: its first kBlockTimeBytes bytes.
// None for a shorter value, which is no record the program wrote.
std::optional<int64_t> decode_block_time(std::string_view value);
