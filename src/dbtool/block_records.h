// The records of one block file as orvelt-db shows and purges them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbtool/records.h"
#include "store/store.h"

// One record of a block file.
struct BlockRecord {
  std::string key;     // the stored key, byte for byte
  std::string sender;  // the key shown to the operator (escaped)
  bool readable = false;
  int64_t time = 0;     // the last reply, when readable
  std::string problem;  // why not readable, when not
};

// Interprets a stored record as the program does: the key must be a text
// with its NUL byte, and the value must hold a block time
// (decode_block_time: at least 8 bytes, the first 8 a signed 64-bit number
// in host order). Anything else is unreadable; such a record suppresses no
// reply.
BlockRecord block_record_of(const RawRecord& raw);

// How one purge of a block file went.
struct PurgeResult {
  size_t records = 0;     // records found
  size_t expired = 0;     // readable records older than the limit: removed,
                          // or on a dry run, to be removed
  size_t unreadable = 0;  // records left alone because they are unreadable
};

// Removes from db, opened for writing, every readable record older than
// hours at now (block_time_expired, the rule the program blocks by), and
// then reorganises the file so that it shrinks. Unreadable records are
// left alone: they block nothing, and what the tool cannot read it does
// not judge. A dry run only counts, and db may then be opened read-only.
// Returns false, with a GDBM error text in error, when the file cannot be
// read, a record cannot be deleted or the reorganisation fails.
bool purge_block_file(const StoreHandle& db, int64_t now, int64_t hours, bool dry_run,
                      PurgeResult& result, std::string& error);
