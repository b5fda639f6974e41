// Whole-database access for orvelt-db: every record of an open GDBM file,
// byte for byte, and keys stored or deleted by the text they stand for
// (store/record_format.h makes and reads the keys).
#pragma once

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

// Stores text as a key (stored_key) with an empty value. Returns 0 when
// stored, 1 when the key was there already (it is left as it was), -1 on a
// GDBM failure.
int insert_key(const StoreHandle& db, std::string_view text);

// Deletes the key of text. Returns 0 when deleted, 1 when there was no such
// key, -1 on a GDBM failure.
int delete_key(const StoreHandle& db, std::string_view text);
