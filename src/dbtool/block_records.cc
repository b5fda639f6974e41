#include "dbtool/block_records.h"

#include <gdbm.h>

#include "dbtool/display.h"
#include "store/block.h"
#include "store/record_format.h"

BlockRecord block_record_of(const RawRecord& raw) {
  BlockRecord record;
  record.key = raw.key;
  const auto text = key_text(raw.key);
  if (!text) {
    record.sender = escape_for_display(raw.key);
    record.problem = "key not a NUL-terminated text";
    return record;
  }
  record.sender = escape_for_display(*text);
  const auto time = decode_block_time(raw.value);
  if (!time) {
    record.problem = "value of " + std::to_string(raw.value.size()) + " bytes";
    return record;
  }
  record.time = *time;
  record.readable = true;
  return record;
}

bool purge_block_file(const StoreHandle& db, int64_t now, int64_t hours, bool dry_run,
                      PurgeResult& result, std::string& error) {
  std::vector<RawRecord> raw;
  if (!read_records(db, raw, error)) return false;
  result.records = raw.size();
  // Collected first and deleted afterwards: GDBM's walk must not run over
  // a file that changes under it.
  std::vector<std::string> expired;
  for (const RawRecord& r : raw) {
    const BlockRecord record = block_record_of(r);
    if (!record.readable) {
      ++result.unreadable;
    } else if (block_time_expired(record.time, now, hours * 3600)) {
      expired.push_back(record.key);
    }
  }
  result.expired = expired.size();
  if (dry_run || expired.empty()) return true;

  for (const std::string& key : expired) {
    if (gdbm_delete(db.get(), datum_over(key)) != 0) {
      error = gdbm_strerror(gdbm_errno);
      return false;
    }
  }
  // GDBM reuses freed space but never gives it back; reorganising copies
  // the live records into a new file (same owner and mode) that replaces
  // the old one, still under this process's lock.
  if (gdbm_reorganize(db.get()) != 0) {
    error = std::string("reorganising: ") + gdbm_strerror(gdbm_errno);
    return false;
  }
  return true;
}
