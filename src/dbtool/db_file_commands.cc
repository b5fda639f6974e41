#include "dbtool/db_file_commands.h"

#include <gdbm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "dbtool/block_records.h"
#include "dbtool/display.h"
#include "dbtool/key_lines.h"
#include "dbtool/records.h"
#include "store/gdbm_block_store.h"
#include "store/record_format.h"
#include "store/store.h"
#include "util/c_owners.h"

namespace {

// Opens an existing database in mode (store_open_existing), or reports why
// not and gives none.
StoreHandle open_existing(Run& run, const std::string& path, StoreMode mode) {
  std::string problem;
  StoreHandle db = store_open_existing(path, mode, problem);
  if (!db) run.say("%s: %s", shown(path).c_str(), problem.c_str());
  return db;
}

// Opens the database that `load` fills: an existing one for writing, or a
// new one, created with the given permission bits (less the process
// umask) in a directory that must exist.
StoreHandle open_for_load(Run& run, const std::string& path, int mode) {
  struct stat status;
  if (stat(path.c_str(), &status) == 0 || errno != ENOENT) {
    return open_existing(run, path, StoreMode::kWriter);
  }
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string directory = parent.empty() ? "." : parent.string();
  if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    run.say("%s: no such directory", shown(directory).c_str());
    return {};
  }
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, mode);
  if (!db) run.say("%s: %s", shown(path).c_str(), store_open_failure().c_str());
  return db;
}

// Reads the key lines of `load` from path ("-" for the input stream) and
// reports the lines skipped. Gives false, after a message, when the input
// cannot be read; the database is not touched then.
bool read_load_input(Run& run, const std::string& path, KeyKind kind, KeyLines& lines) {
  const bool from_stream = path == "-";
  const std::string name = from_stream ? "standard input" : shown(path);
  OwnedFile file;
  if (!from_stream) {
    file.reset(fopen(path.c_str(), "rb"));
    if (!file) {
      run.say("%s: %s", name.c_str(), strerror(errno));
      return false;
    }
  }
  if (!read_key_lines(from_stream ? run.in() : file.get(), kind, lines)) {
    run.say("%s: %s", name.c_str(), strerror(errno));
    return false;
  }
  for (const RejectedLine& r : lines.rejected) {
    run.say("%s:%zu: %s; skipped", name.c_str(), r.number, r.reason.c_str());
    run.mark(kDbPartly);
  }
  return true;
}

// The keys given on the command line, each checked as a line of `load`
// would be; the ones that cannot be keys are reported and left out.
std::vector<std::string> keys_from_operands(Run& run, const Invocation& inv, size_t first) {
  std::vector<std::string> keys;
  for (size_t i = first; i < inv.operands.size(); ++i) {
    const std::string& operand = inv.operands[i];
    KeyOrReason k = key_from_line(operand, kind_of(inv));
    if (k.reason.empty() && k.key.empty()) k.reason = "empty";
    if (!k.reason.empty()) {
      run.say("key \"%s\": %s; skipped", shown(operand).c_str(), k.reason.c_str());
      run.mark(kDbPartly);
      continue;
    }
    keys.push_back(std::move(k.key));
  }
  return keys;
}

// Stores keys in db and tells how many were new. Gives false after a
// message when GDBM fails.
bool insert_keys(Run& run, const StoreHandle& db, const std::string& path,
                 const std::vector<std::string>& keys, size_t& added) {
  added = 0;
  for (const std::string& key : keys) {
    const int stored = insert_key(db, key);
    if (stored < 0) {
      run.say("%s: storing \"%s\": %s", shown(path).c_str(), shown(key).c_str(),
              gdbm_strerror(gdbm_errno));
      return false;
    }
    if (stored == 0) ++added;
  }
  return true;
}

// Deletes every record of db, keys byte for byte; gives how many.
bool delete_all(Run& run, const StoreHandle& db, const std::string& path, size_t& deleted) {
  std::vector<RawRecord> records;
  std::string error;
  if (!read_records(db, records, error)) {
    run.say("%s: %s", shown(path).c_str(), error.c_str());
    return false;
  }
  for (const RawRecord& r : records) {
    if (gdbm_delete(db.get(), datum_over(r.key)) != 0) {
      run.say("%s: %s", shown(path).c_str(), gdbm_strerror(gdbm_errno));
      return false;
    }
  }
  deleted = records.size();
  return true;
}

// Tells what recovery kept of path and what it lost; losses mark the run.
void report_recovery(Run& run, const std::string& path, gdbm_count_t kept,
                     const gdbm_recovery& report, const char* backup) {
  fprintf(run.out(), "%s: recovered %s, %zu lost\n", shown(path).c_str(),
          count_of(static_cast<size_t>(kept), "record").c_str(), report.failed_keys);
  if (report.failed_buckets > 0) {
    // GDBM cannot tell how many records an unreadable bucket held.
    fprintf(run.out(), "%s: %s unreadable, the records in %s lost\n", shown(path).c_str(),
            count_of(report.failed_buckets, "bucket").c_str(),
            report.failed_buckets == 1 ? "it" : "them");
  }
  if (backup != nullptr) {
    fprintf(run.out(), "%s: the damaged file is kept as %s\n", shown(path).c_str(),
            shown(backup).c_str());
  }
  if (report.failed_keys > 0 || report.failed_buckets > 0) run.mark(kDbPartly);
}

// The receiver a block file belongs to: its name.
std::string receiver_of(const std::string& file) {
  return escape_for_display(std::filesystem::path(file).filename().string());
}

// What a purge of several block files did in all.
struct PurgeTotals {
  size_t purged = 0;   // records removed (or to be), those from the future among them
  size_t future = 0;   // records from the future removed
  size_t changed = 0;  // files that had any to remove
};

// " (N from the future)" when there were any, else nothing.
std::string from_the_future(size_t future) {
  return future == 0 ? std::string() : " (" + std::to_string(future) + " from the future)";
}

// Purges one block file (purge_block_file), reports it and adds it to totals.
void purge_one(Run& run, const std::string& file, int64_t now, int64_t hours, bool dry_run,
               PurgeTotals& totals) {
  StoreHandle db = open_existing(run, file, dry_run ? StoreMode::kReader : StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  PurgeResult result;
  std::string error;
  const bool done = purge_block_file(db, now, hours, dry_run, result, error);
  store_close(db);
  const std::string receiver = receiver_of(file);
  if (!done) {
    run.say("%s: %s", shown(file).c_str(), error.c_str());
    return run.mark(kDbFailed);
  }
  const size_t removed = result.expired + result.future;
  if (removed > 0) {
    fprintf(run.out(), "%s: %s %zu of %s%s\n", receiver.c_str(),
            dry_run ? "would remove" : "removed", removed,
            count_of(result.records, "record").c_str(), from_the_future(result.future).c_str());
    totals.purged += removed;
    totals.future += result.future;
    ++totals.changed;
  }
  if (result.unreadable > 0) {
    fprintf(run.out(), "%s: left %s alone\n", receiver.c_str(),
            count_of(result.unreadable, "unreadable record").c_str());
  }
}

// How long a file being created may stand under its temporary name before a
// purge takes it for one its creator left behind (killed, or the machine
// went down): creating one takes a moment.
constexpr int64_t kStaleTemporarySeconds = 3600;

// Removes the temporaries (is_store_temporary_name) last changed more than
// kStaleTemporarySeconds before now, and says how many when there were
// any; younger ones may still be in the making and stay.
void purge_temporaries(Run& run, const std::vector<std::string>& temporaries, int64_t now,
                       bool dry_run) {
  size_t stale = 0;
  for (const std::string& path : temporaries) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || now - status.st_mtime <= kStaleTemporarySeconds) {
      continue;  // gone since the listing, or young
    }
    if (!dry_run && unlink(path.c_str()) != 0 && errno != ENOENT) {
      run.say("%s: %s", shown(path).c_str(), strerror(errno));
      run.mark(kDbFailed);
      continue;
    }
    ++stale;
  }
  if (stale > 0) {
    fprintf(run.out(), "%s %s\n", dry_run ? "would remove" : "removed",
            count_of(stale, "stale temporary file").c_str());
  }
}

}  // namespace

void fail_listing(Run& run, const Outcome& failure) {
  run.say("%s", shown(failure.reason).c_str());
  run.mark(kDbFailed);
}

void report_backups(Run& run, const std::vector<std::string>& backups) {
  for (const std::string& path : backups) run.say("skipped backup %s", shown(path).c_str());
}

void blocks_of_files(Run& run, const std::string& operand) {
  BlockLister lister(run.out(), time(nullptr),
                     [&run](const std::string& where, const std::string& reason) {
                       run.say("%s: %s", shown(where).c_str(), reason.c_str());
                       run.mark(kDbFailed);
                     });
  std::vector<std::string> backups;
  const Outcome walked = walk_block_files(operand, lister, &backups);
  if (!walked.ok()) return fail_listing(run, walked);
  report_backups(run, backups);
}

void command_load(Run& run, const Invocation& inv) {
  int mode = 0644;
  if ((inv.given & kMode) != 0) {
    const auto parsed = parse_mode(inv.mode);
    if (!parsed) {
      run.say("--mode %s: not an octal file mode", shown(inv.mode).c_str());
      run.mark(kDbFailed);
      return;
    }
    mode = *parsed;
  }
  const std::string& path = inv.operands[0];
  // The whole input is read and checked before the database is opened:
  // the lock is held only while writing, and a bad input file changes
  // nothing.
  KeyLines lines;
  if (!read_load_input(run, inv.operands.size() > 1 ? inv.operands[1] : "-", kind_of(inv), lines)) {
    run.mark(kDbFailed);
    return;
  }
  StoreHandle db = open_for_load(run, path, mode);
  if (!db) {
    run.mark(kDbFailed);
    return;
  }
  // Readers wait while this process holds the writer lock, so orvelt sees
  // the old keys or the new ones, never a mixture.
  size_t deleted = 0;
  size_t added = 0;
  if (((inv.given & kReplace) != 0 && !delete_all(run, db, path, deleted)) ||
      !insert_keys(run, db, path, lines.keys, added)) {
    run.mark(kDbFailed);
    return;
  }
  store_close(db);
  if ((inv.given & kReplace) != 0) {
    fprintf(run.out(), "%s: removed %s\n", shown(path).c_str(),
            count_of(deleted, "old key").c_str());
  }
  fprintf(run.out(), "%s: loaded %s, %zu new, %zu already there\n", shown(path).c_str(),
          count_of(lines.keys.size(), "key").c_str(), added, lines.keys.size() - added);
}

void command_list(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  StoreHandle db = open_existing(run, path, StoreMode::kReader);
  if (!db) return run.mark(kDbFailed);
  std::vector<RawRecord> records;
  std::string error;
  const bool complete = read_records(db, records, error);
  store_close(db);
  for (const RawRecord& r : records) {
    const auto text = key_text(r.key);
    // Printed as they stand, so that the output loads back unchanged;
    // keys that no line can give are reported instead.
    if (text && text->find('\n') == std::string_view::npos) {
      fwrite(text->data(), 1, text->size(), run.out());
      fputc('\n', run.out());
    } else {
      run.say("%s: key \"%s\": %s; orvelt never matches it", shown(path).c_str(),
              shown(r.key).c_str(), text ? "contains a newline" : "not a NUL-terminated text");
      run.mark(kDbPartly);
    }
  }
  if (!complete) {
    run.say("%s: %s", shown(path).c_str(), error.c_str());
    run.mark(kDbFailed);
  }
}

void command_add(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  const std::vector<std::string> keys = keys_from_operands(run, inv, 1);
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  size_t added = 0;
  if (!insert_keys(run, db, path, keys, added)) return run.mark(kDbFailed);
  store_close(db);
  fprintf(run.out(), "%s: added %s, %zu already there\n", shown(path).c_str(),
          count_of(added, "key").c_str(), keys.size() - added);
}

void command_remove(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  const std::vector<std::string> keys = keys_from_operands(run, inv, 1);
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  size_t removed = 0;
  for (const std::string& key : keys) {
    const int deleted = delete_key(db, key);
    if (deleted < 0) {
      run.say("%s: removing \"%s\": %s", shown(path).c_str(), shown(key).c_str(),
              gdbm_strerror(gdbm_errno));
      return run.mark(kDbFailed);
    }
    if (deleted == 1) {
      run.say("%s: no key \"%s\"", shown(path).c_str(), shown(key).c_str());
      run.mark(kDbPartly);
    } else {
      ++removed;
    }
  }
  store_close(db);
  fprintf(run.out(), "%s: removed %s\n", shown(path).c_str(), count_of(removed, "key").c_str());
}

void command_has(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  KeyOrReason k = key_from_line(inv.operands[1], kind_of(inv));
  if (k.reason.empty() && k.key.empty()) k.reason = "empty";
  if (!k.reason.empty()) {
    run.say("key \"%s\": %s", shown(inv.operands[1]).c_str(), k.reason.c_str());
    return run.mark(kDbFailed);
  }
  StoreHandle db = open_existing(run, path, StoreMode::kReader);
  if (!db) return run.mark(kDbFailed);
  if (!store_has_key(k.key, db)) run.mark(kDbPartly);
}

void purge_files(Run& run, const Invocation& inv, const std::string& operand) {
  if ((inv.given & kOlderThan) == 0) {
    run.say("purge needs --older-than HOURS");
    return run.mark(kDbFailed);
  }
  const auto hours = parse_hours(inv.older_than);
  if (!hours) {
    run.say("--older-than %s: not a whole number of hours", shown(inv.older_than).c_str());
    return run.mark(kDbFailed);
  }
  const bool dry_run = (inv.given & kDryRun) != 0;
  std::vector<std::string> backups;
  std::vector<std::string> temporaries;
  const Result<std::vector<std::string>> listed = block_files_in(operand, &backups, &temporaries);
  if (!listed.ok()) return fail_listing(run, listed.failure());
  report_backups(run, backups);
  const std::vector<std::string>& files = *listed;
  const int64_t now = time(nullptr);
  PurgeTotals totals;
  for (const std::string& file : files) purge_one(run, file, now, *hours, dry_run, totals);
  fprintf(run.out(), "%s %s from %zu of %s%s\n", dry_run ? "would purge" : "purged",
          count_of(totals.purged, "record").c_str(), totals.changed,
          count_of(files.size(), "block file").c_str(), from_the_future(totals.future).c_str());
  purge_temporaries(run, temporaries, now, dry_run);
}

void command_recover(Run& run, const Invocation& inv) {
  const std::string& path = inv.operands[0];
  // The writer lock keeps orvelt out while the file is rebuilt.
  StoreHandle db = open_existing(run, path, StoreMode::kWriter);
  if (!db) return run.mark(kDbFailed);
  // Forced: GDBM's own check misses damage that the rebuild gets past. The
  // damaged file is kept, as records that GDBM could not read may still be
  // rescued from it by other means.
  gdbm_recovery report{};
  const int failed = gdbm_recover(db.get(), &report, GDBM_RCVR_FORCE | GDBM_RCVR_BACKUP);
  const MallocPtr<char> backup(report.backup_name);  // allocated by gdbm_recover
  if (failed != 0) {
    run.say("%s: cannot recover: %s", shown(path).c_str(), gdbm_db_strerror(db.get()));
    return run.mark(kDbFailed);
  }
  gdbm_count_t kept = 0;
  if (gdbm_count(db.get(), &kept) != 0) {
    run.say("%s: counting the records: %s", shown(path).c_str(), gdbm_db_strerror(db.get()));
    return run.mark(kDbFailed);
  }
  if (!store_close_written(db)) {
    run.say("%s: %s", shown(path).c_str(), store_last_error().c_str());
    return run.mark(kDbFailed);
  }
  report_recovery(run, path, kept, report, backup.get());
}