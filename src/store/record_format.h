// The bytes that orvelt keeps in its GDBM files, made and read here alone,
// so that orvelt and orvelt-db cannot come to disagree about them.
//
// Key, in every database: the text followed by its terminating NUL byte. A
// key stored without that byte is never found by a lookup. The value of a
// block file is the block record's (store/block_record.h).
#pragma once

#include <gdbm.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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
