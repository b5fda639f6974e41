#include "dbtool/block_records.h"

#include <gdbm.h>

#include <vector>

#include "dbtool/display.h"
#include "store/block_record.h"
#include "store/gdbm_block_store.h"
#include "store/record_format.h"

bool BlockLister::record(const BlockEntry& entry) {
  const std::string receiver = escape_for_display(entry.receiver);
  const std::string sender = escape_for_display(entry.sender);
  if (!entry.time) {
    fprintf(out_, "%s\t%s\tunreadable: %s\n", receiver.c_str(), sender.c_str(),
            entry.problem.c_str());
    return true;
  }
  int64_t age = 0;
  const std::string age_text =
      __builtin_sub_overflow(now_, *entry.time, &age) ? "?" : format_age(age);
  // The fields of a record that holds a tag, its own period or a lease
  // follow today's, so that a script reading those by position keeps
  // working, and a record without them is shown as before.
  std::string more;
  if (!entry.tag.empty() || entry.period || entry.lease) {
    more += '\t';
    more += entry.tag.empty() ? std::string("-") : escape_for_display(entry.tag);
    more += '\t';
    more += entry.period ? format_age(*entry.period) : std::string("-");
  }
  // A claim whose reply has not been confirmed (or never will be).
  if (entry.lease) more += "\tpending";
  fprintf(out_, "%s\t%s\t%s\t%s%s\n", receiver.c_str(), sender.c_str(),
          format_utc(*entry.time).c_str(), age_text.c_str(), more.c_str());
  return true;
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
    if (!block_entry_of("", r).time) {
      ++result.unreadable;
      continue;
    }
    const BlockRecord record = *gdbm_block_record(r.value);
    if (block_time_from_future(record.time, now)) {
      ++result.future;
    } else if ((record.lease && !block_record_pending(record, now)) ||
               block_time_expired(record.time, now, record.period.value_or(hours * 3600))) {
      ++result.expired;
    } else {
      continue;
    }
    expired.push_back(r.key);
  }
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
