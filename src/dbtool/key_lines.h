// The key lines that orvelt-db loads into a bad-header or blacklist
// database: one key per line of a text file, read with bounded memory and
// checked before any database is touched.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "mail/header_line.h"

// How a line becomes a key.
enum class KeyKind {
  kHeaderLine,  // the line as it stands: a bad-header key
  kAddress      // the line normalised as the program normalises addresses
};

// The longest input line considered at all. Longer lines are skipped
// without being held in memory.
inline constexpr size_t kMaxInputLine = 65536;

// One input line that gives no key, and why (a sentence for the operator).
struct RejectedLine {
  size_t number;  // 1-based line number
  std::string reason;
};

struct KeyLines {
  std::vector<std::string> keys;  // in input order, duplicates kept
  std::vector<RejectedLine> rejected;
};

// Turns one line (without its newline) into a key of the given kind, or
// gives the reason why it cannot be one: a NUL byte or a newline inside,
// a header line longer than kMaxHeaderLineBytes (the program reads a longer
// line in several parts, so no such key can ever match), or, for an
// address, no address bytes at all. An empty line gives an empty key and no
// reason.
struct KeyOrReason {
  std::string key;
  std::string reason;  // empty when key is usable
};
KeyOrReason key_from_line(const std::string& line, KeyKind kind);

// Reads every line of in, to its end, and turns each into a key. A final
// line without a newline counts. Empty lines are skipped; a line longer
// than kMaxInputLine is skipped as too long. Returns false, with errno set,
// when reading fails.
bool read_key_lines(FILE* in, KeyKind kind, KeyLines& result);
