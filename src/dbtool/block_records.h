// Block records as orvelt-db shows and purges them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "store/block_store.h"
#include "store/store.h"

// Writes each record a walk hands it as one line: receiver, sender, the
// time of the last reply (UTC) and its age, then, for a record that holds
// either, the tag of the text sent and the record's own period (each "-"
// when it has none), then "pending" for a pending record (tag and period
// shown for it all the same); or "unreadable: <problem>"; tab-separated,
// with the addresses escaped for display. A part of the store that cannot be read is handed to
// report.
class BlockLister : public BlockWalker {
 public:
  using Report = std::function<void(const std::string& where, const std::string& reason)>;
  BlockLister(FILE* out, int64_t now, Report report)
      : out_(out), now_(now), report_(std::move(report)) {}
  bool record(const BlockEntry& entry) override;
  void unreadable(const std::string& where, const std::string& reason) override {
    report_(where, reason);
  }

 private:
  FILE* out_;
  int64_t now_;
  Report report_;
};

// How one purge of a block file went.
struct PurgeResult {
  size_t records = 0;     // records found
  size_t expired = 0;     // readable records older than the limit, or pending
                          // ones whose lease ran out: removed, or on a dry
                          // run, to be removed
  size_t future = 0;      // readable records dated more than an hour ahead
                          // (block_time_from_future): removed likewise
  size_t unreadable = 0;  // records left alone because they are unreadable
};

// Removes from db, opened for writing, every readable record (block_entry_of)
// older than hours at now, or than its own period when it holds one
// (block_time_expired, the rule the program blocks by), every pending record
// whose lease ran out (block_record_pending) and every record from the future
// (block_time_from_future): none of them blocks a reply. Then reorganises the
// file so that it shrinks. Unreadable records are left alone: they block nothing, and what the tool
// cannot read it does not judge. A dry run only counts, and db may then be opened read-only.
// Returns false, with a GDBM error text in error, when the file cannot be read, a record cannot be
// deleted or the reorganisation fails.
bool purge_block_file(const StoreHandle& db, int64_t now, int64_t hours, bool dry_run,
                      PurgeResult& result, std::string& error);
