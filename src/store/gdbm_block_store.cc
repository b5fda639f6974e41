#include "store/gdbm_block_store.h"

#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "store/block_file_space.h"
#include "store/block_record.h"
#include "store/record_format.h"
#include "store/store.h"
#include "util/c_owners.h"
#include "util/log.h"

namespace {

// The value buffer that gdbm_fetch allocates.
using FetchedValue = MallocPtr<char>;

Outcome failed(const std::string& path, const std::string& reason) {
  return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": " + reason);
}

Outcome lock_failed(const std::string& path) {
  return Outcome::retry(LOG_ERR, "CRIT/IO error locking '" + log_safe(path) + "' for writing");
}

bool log_store_failed(const std::string& path, const std::string& reason) {
  log_message(LOG_ERR, "CRIT/IO %s: %s", log_safe(path).c_str(), reason.c_str());
  return false;
}

// The sender's value in an open block file: none when there is no record.
// A file that cannot be read is a failure: it may hold the very record that
// blocks this sender.
Result<std::optional<std::string>> fetch_value(const StoreHandle& db, const std::string& key,
                                               const std::string& path) {
  const datum found = gdbm_fetch(db.get(), datum_over(key));
  const FetchedValue value(found.dptr);
  if (value != nullptr) {
    return std::optional(std::string(value.get(), static_cast<size_t>(found.dsize)));
  }
  if (gdbm_last_errno(db.get()) != GDBM_ITEM_NOT_FOUND || gdbm_needs_recovery(db.get())) {
    return failed(path, gdbm_db_strerror(db.get()));
  }
  return std::optional<std::string>();
}

// The sender's value at the look under the reader lock. A
// missing file is decided under the writer lock; so is an empty one:
// another run creates a block file empty and only then takes its lock and
// writes GDBM's header, and a reader that comes in between finds no
// database yet. A lock held for the whole wait would be held for the
// writer's wait as well: a failure at once.
Result<std::optional<std::string>> value_at_first_look(const std::string& path,
                                                       const std::string& key, int create_mode) {
  StoreError error;
  if (StoreHandle reader = store_open(path, StoreMode::kReader, create_mode, &error)) {
    return fetch_value(reader, key, path);
  }
  if (error.locked) return lock_failed(path);
  if (!error.missing && !error.empty) return failed(path, error.reason);
  return std::optional<std::string>();
}

// Stores value for key and closes the file: what was written must reach it.
// Nothing is written when the file system has no room for what the store
// may add to the file (store_make_room): a store that ran out of space half
// way would leave a file that no longer reads to its end.
Outcome store_and_close(StoreHandle& db, const std::string& key, const std::string& value,
                        const std::string& path) {
  if (const std::string no_room = store_make_room(db.get(), key.size() + value.size());
      !no_room.empty()) {
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": " + no_room);
  }
  if (gdbm_store(db.get(), datum_over(key), datum_over(value), GDBM_REPLACE) != 0) {
    return failed(path, gdbm_db_strerror(db.get()));
  }
  if (!store_close_written(db)) return failed(path, store_last_error());
  return Outcome::done();
}

}  // namespace

OptionalText block_file_path(const std::string& blockfiles, std::string_view receiver) {
  // A name longer than a directory entry can hold fails every open with
  // ENAMETOOLONG, which would end the run.
  if (!block_receiver_acceptable(receiver) || receiver.size() > NAME_MAX || receiver == "." ||
      receiver == ".." || receiver.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  std::string path = blockfiles;
  if (path.empty() || path.back() != '/') path += '/';
  path += receiver;
  return path;
}

OptionalText GdbmBlockStore::path_of(const std::string& receiver) const {
  OptionalText path = block_file_path(config_.blockfiles, receiver);
  if (!path) {
    log_message(LOG_WARNING, "WARN/IO refusing block file for %s", log_safe(receiver).c_str());
  }
  return path;
}

Result<BlockClaim> GdbmBlockStore::claim(const ClaimRequest& request) {
  const int hours = request.hours.value_or(config_.blockexpire);
  if (hours == 0) return BlockClaim{true, std::nullopt, std::nullopt, 0};
  const OptionalText path = path_of(request.receiver);
  if (!path) return BlockClaim{};
  const std::string key = stored_key(request.sender);
  const int64_t period = block_period_seconds(hours);
  // Most messages from a sender who was answered end at the first look,
  // without a write lock or a flush.
  const Result<std::optional<std::string>> seen =
      value_at_first_look(*path, key, config_.create_mode);
  if (!seen.ok()) return seen.failure();
  switch (weigh_value(request, *seen, time(nullptr), period)) {
    case Found::kPendingElsewhere:
      return pending_elsewhere(request.sender, request.receiver);
    case Found::kBlocked:
      return BlockClaim{};
    case Found::kFree:
      break;
  }
  return claim_locked(request, *path, key, period);
}

BlockStore::Found GdbmBlockStore::weigh_value(const ClaimRequest& request,
                                              const std::optional<std::string>& value, int64_t now,
                                              int64_t period) const {
  // A value too short for a time is no record the program wrote: it
  // blocks nothing.
  if (!value) return Found::kFree;
  return weigh(request, *value, gdbm_block_record(*value), now, period);
}

Result<BlockClaim> GdbmBlockStore::claim_locked(const ClaimRequest& request,
                                                const std::string& path, const std::string& key,
                                                int64_t period) {
  BlockClaim claim;
  StoreError error;
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, config_.create_mode, &error);
  if (!db) return error.locked ? lock_failed(path) : failed(path, error.reason);
  Result<std::optional<std::string>> previous = fetch_value(db, key, path);
  if (!previous.ok()) return previous.failure();
  claim.previous = *previous;
  // Taken after the open, which may have waited for the lock.
  const int64_t now = time(nullptr);
  switch (weigh_value(request, claim.previous, now, period)) {
    case Found::kPendingElsewhere:
      return pending_elsewhere(request.sender, request.receiver);
    case Found::kBlocked:
      return claim;
    case Found::kFree:
      break;
  }
  const int64_t lease = block_lease_seconds(config_.mtatimeout);
  const BlockRecord record{now, request.hours ? std::optional(period) : std::nullopt, request.tag,
                           lease};
  const std::string value = gdbm_block_value(record);
  if (Outcome stored = store_and_close(db, key, value, path); !stored.ok()) return stored;
  claim.granted = true;
  claim.stored = value;
  claim.lease_ends = now + lease;
  note_claim(request.receiver, request.sender, value);
  return claim;
}

void GdbmBlockStore::confirm(const BlockClaim& claim, const std::string& sender,
                             const std::string& receiver) {
  if (!claim.stored) return;
  std::optional<BlockRecord> record = gdbm_block_record(*claim.stored);
  const OptionalText path = block_file_path(config_.blockfiles, receiver);
  if (!record || !path) return;
  record->lease.reset();
  const std::string full = gdbm_block_value(*record);
  StoreError error;
  StoreHandle db = store_open(path, StoreMode::kWriter, config_.create_mode, &error);
  if (!db) {
    log_store_failed(*path, error.reason);
    return confirmation_lost(sender, receiver);
  }
  const std::string key = stored_key(sender);
  const Result<std::optional<std::string>> current = fetch_value(db, key, *path);
  if (!current.ok()) {
    log_message(LOG_ERR, "%s", current.failure().reason.c_str());
    return confirmation_lost(sender, receiver);
  }
  if (*current != claim.stored) return;  // gone, or another run's record by now
  if (Outcome stored = store_and_close(db, key, full, *path); !stored.ok()) {
    log_message(LOG_ERR, "%s", stored.reason.c_str());
    return confirmation_lost(sender, receiver);
  }
  note_claim(receiver, sender, full);
}

bool GdbmBlockStore::withdraw(const BlockClaim& claim, const std::string& sender,
                              const std::string& receiver) {
  if (!claim.stored) return true;
  forget_claim(receiver, sender);
  const OptionalText path = block_file_path(config_.blockfiles, receiver);
  if (!path) return true;
  StoreError error;
  StoreHandle db = store_open(path, StoreMode::kWriter, config_.create_mode, &error);
  if (!db) return log_store_failed(*path, error.reason);
  const std::string key = stored_key(sender);
  const datum found = gdbm_fetch(db.get(), datum_over(key));
  const FetchedValue current(found.dptr);
  if (current == nullptr ||
      std::string_view(current.get(), static_cast<size_t>(found.dsize)) != *claim.stored) {
    return true;  // gone, or another run's record by now
  }
  const int result = claim.previous ? gdbm_store(db.get(), datum_over(key),
                                                 datum_over(*claim.previous), GDBM_REPLACE)
                                    : gdbm_delete(db.get(), datum_over(key));
  if (result != 0) return log_store_failed(*path, gdbm_db_strerror(db.get()));
  if (!store_close_written(db)) return log_store_failed(*path, store_last_error());
  return true;
}

Outcome GdbmBlockStore::walk(BlockWalker& walker) {
  return walk_block_files(config_.blockfiles, walker);
}

Result<std::vector<BlockEntry>> GdbmBlockStore::records_of(const std::string& receiver) {
  std::vector<BlockEntry> entries;
  const OptionalText path = block_file_path(config_.blockfiles, receiver);
  if (!path) return entries;
  StoreError error;
  const StoreHandle db = store_open(path, StoreMode::kReader, config_.create_mode, &error);
  if (!db) {
    // An empty file is one that a claim is creating at this moment.
    if (error.missing || error.empty) return entries;
    return failed(*path, error.locked ? "locked by another process for too long; try again later"
                                      : error.reason);
  }
  std::vector<RawRecord> records;
  std::string problem;
  if (!read_records(db, records, problem)) return failed(*path, problem);
  entries.reserve(records.size());
  for (const RawRecord& raw : records) entries.push_back(block_entry_of(receiver, raw));
  return entries;
}

Result<bool> GdbmBlockStore::remove(const std::string& receiver, const std::string& sender) {
  const OptionalText path = path_of(receiver);
  if (!path) return false;
  std::string problem;
  StoreHandle db = store_open_existing(*path, StoreMode::kWriter, problem);
  if (!db) return failed(*path, problem);
  const std::string key = stored_key(sender);
  if (gdbm_delete(db.get(), datum_over(key)) != 0) {
    if (gdbm_errno == GDBM_ITEM_NOT_FOUND) return false;
    return failed(*path, gdbm_db_strerror(db.get()));
  }
  if (!store_close_written(db)) return failed(*path, store_last_error());
  return true;
}

Result<BlockImport> GdbmBlockStore::import(const std::string& receiver, const std::string& sender,
                                           const BlockRecord& record, int64_t now) {
  const int64_t period = block_record_period(record, block_period_seconds(config_.blockexpire));
  if (block_time_expired(record.time, now, period)) return BlockImport::kExpired;
  const OptionalText path = path_of(receiver);
  if (!path) return failed(receiver, "no block file for this receiver");
  std::string problem;
  StoreHandle db = store_open_existing(*path, StoreMode::kWriter, problem);
  if (!db) return failed(*path, problem);
  const std::string key = stored_key(sender);
  const std::string value = gdbm_block_value(record);
  const int stored = gdbm_store(db.get(), datum_over(key), datum_over(value), GDBM_INSERT);
  if (stored < 0) return failed(*path, gdbm_db_strerror(db.get()));
  if (stored == 1) return BlockImport::kPresent;
  if (!store_close_written(db)) return failed(*path, store_last_error());
  return BlockImport::kImported;
}

Outcome GdbmBlockStore::record_reply(const std::string& receiver, const std::string& sender,
                                     int64_t now) {
  if (config_.blockexpire <= 0) return Outcome::done();
  const OptionalText path = block_file_path(config_.blockfiles, receiver);
  if (!path) return failed(receiver, "no block file for this receiver");
  std::string problem;
  StoreHandle db = store_open_existing(*path, StoreMode::kWriter, problem);
  if (!db) return failed(*path, problem);
  return store_and_close(db, stored_key(sender),
                         gdbm_block_value(BlockRecord{now, std::nullopt, {}, std::nullopt}), *path);
}

bool is_gdbm_backup_name(std::string_view name) {
  if (!name.ends_with('~')) return false;
  name.remove_suffix(1);
  const size_t digits = name.find_last_not_of("0123456789");
  if (digits == std::string_view::npos || digits + 1 == name.size()) return false;
  name.remove_suffix(name.size() - digits - 1);
  // Something must stand before ".~": the copy of a file, not the name alone.
  return name.size() > 2 && name.ends_with(".~");
}

Result<std::vector<std::string>> block_files_in(const std::string& file_or_dir,
                                                std::vector<std::string>* backups,
                                                std::vector<std::string>* temporaries) {
  struct stat status;
  if (stat(file_or_dir.c_str(), &status) != 0) {
    return Outcome::retry(
        LOG_ERR, file_or_dir + ": " + (errno == ENOENT ? "no such file" : strerror(errno)));
  }
  std::vector<std::string> files;
  if (!S_ISDIR(status.st_mode)) {
    files.push_back(file_or_dir);
    return files;
  }
  // Plain POSIX calls rather than std::filesystem, which would bring a
  // large part of the C++ library into every run of orvelt through the
  // store's walk.
  const OwnedDir dir(opendir(file_or_dir.c_str()));
  if (!dir) return Outcome::retry(LOG_ERR, file_or_dir + ": " + strerror(errno));
  const std::string prefix = file_or_dir.ends_with('/') ? file_or_dir : file_or_dir + "/";
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // An entry that cannot be looked at (gone since the directory was
    // read) is passed over like an empty one.
    std::string path = prefix + entry->d_name;
    struct stat file;
    if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) continue;
    if (is_store_temporary_name(name)) {
      // Empty or not: a creator killed at once leaves an empty one.
      if (temporaries != nullptr) temporaries->push_back(std::move(path));
    } else if (file.st_size == 0) {
      continue;
    } else if (!is_gdbm_backup_name(name)) {
      files.push_back(std::move(path));
    } else if (backups != nullptr) {
      backups->push_back(std::move(path));
    }
  }
  if (errno != 0) return Outcome::retry(LOG_ERR, file_or_dir + ": " + strerror(errno));
  std::sort(files.begin(), files.end());
  if (backups != nullptr) std::sort(backups->begin(), backups->end());
  if (temporaries != nullptr) std::sort(temporaries->begin(), temporaries->end());
  return files;
}

BlockEntry block_entry_of(const std::string& receiver, const RawRecord& raw) {
  BlockEntry entry;
  entry.receiver = receiver;
  const std::optional<std::string_view> text = key_text(raw.key);
  if (!text) {
    entry.sender = raw.key;
    entry.problem = "key not a NUL-terminated text";
    return entry;
  }
  entry.sender = std::string(*text);
  const std::optional<BlockRecord> record = gdbm_block_record(raw.value);
  if (!record) {
    entry.problem = "value of " + std::to_string(raw.value.size()) + " bytes";
    return entry;
  }
  entry.time = record->time;
  entry.period = record->period;
  entry.tag = record->tag;
  entry.lease = record->lease;
  return entry;
}

bool walk_block_file(const std::string& path, BlockWalker& walker) {
  std::string problem;
  StoreHandle db = store_open_existing(path, StoreMode::kReader, problem);
  if (!db) {
    walker.unreadable(path, problem);
    return true;
  }
  std::vector<RawRecord> records;
  std::string error;
  if (!read_records(db, records, error)) walker.unreadable(path, error);
  db.reset();
  const std::string receiver = path.substr(path.rfind('/') + 1);
  for (const RawRecord& raw : records) {
    if (!walker.record(block_entry_of(receiver, raw))) return false;
  }
  return true;
}

Outcome walk_block_files(const std::string& file_or_dir, BlockWalker& walker,
                         std::vector<std::string>* backups) {
  const Result<std::vector<std::string>> files = block_files_in(file_or_dir, backups);
  if (!files.ok()) return files.failure();
  for (const std::string& file : *files) {
    if (!walk_block_file(file, walker)) break;
  }
  return Outcome::done();
}
