// Whole-database reads for orvelt-db: every record of an open GDBM file,
// byte for byte, and the link between a stored key and the text it stands
// for.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

// One record exactly as stored.
struct RawRecord {
  std::string key;
  std::string value;
};

// Appends every record of db to records, sorted by key bytes. Returns false,
// with a GDBM error text in error, when the file cannot be walked to its
// end (a damaged database); records then holds what was read.
bool read_records(const StoreHandle& db, std::vector<RawRecord>& records, std::string& error);

// The text a key stands for: its bytes less the terminating NUL byte. None
// for a key the program can never look up: one without that NUL byte, or
// with another NUL byte before it.
std::optional<std::string_view> key_text(std::string_view key);

// The stored form of a text key: the text and its NUL byte.
std::string stored_key(std::string_view text);

// Stores text as a key with an empty value. Returns 0 when stored, 1 when
// the key was there already (it is left as it was), -1 on a GDBM failure.
int insert_key(const StoreHandle& db, std::string_view text);

// Deletes the key of text. Returns 0 when deleted, 1 when there was no such
// key, -1 on a GDBM failure.
int delete_key(const StoreHandle& db, std::string_view text);
