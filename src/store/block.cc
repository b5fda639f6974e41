#include "store/block.h"

#include <syslog.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "config/config.h"
#include "store/record_format.h"
#include "store/redis_store.h"
#include "store/store.h"
#include "util/log.h"

namespace {

// Owns the value buffer that gdbm_fetch allocates.
struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};
using FetchedValue = std::unique_ptr<char, FreeDeleter>;

// Logs the refusal of a receiver whose block file would lie outside
// blockfiles; the address comes from the message.
void log_refused(const std::string& receiver) {
  log_message(LOG_WARNING, "WARN/IO refusing block file for %s", log_safe(receiver).c_str());
}

[[noreturn]] void fail(const char* format, const std::string& argument) {
  log_fatal(LOG_WARNING, format, log_safe(argument).c_str());
}

[[noreturn]] void fail_with_reason(const std::string& path, const std::string& reason) {
  log_fatal(LOG_WARNING, "CRIT/IO %s: %s", log_safe(path).c_str(), reason.c_str());
}

void log_withdraw_failed(const std::string& path, const std::string& reason) {
  log_message(LOG_ERR, "CRIT/IO %s: %s", log_safe(path).c_str(), reason.c_str());
}

}  // namespace

bool block_time_expired(int64_t stored, int64_t now, int64_t seconds) {
  int64_t elapsed;
  if (__builtin_sub_overflow(now, stored, &elapsed)) return stored < 0;
  return elapsed > seconds;
}

namespace {

// The directory matches a mail address ignoring blanks at either end, so
// "<local@site >" finds local@site's entry. Its own block file would let one
// sender be answered once for every number of blanks.
bool has_edge_blank(std::string_view receiver) {
  return receiver.front() == ' ' || receiver.back() == ' ';
}

}  // namespace

OptionalText block_file_path(std::string_view receiver) {
  // A name longer than a directory entry can hold fails every open with
  // ENAMETOOLONG, which would end the run.
  if (receiver.empty() || receiver.size() > NAME_MAX || receiver == "." || receiver == ".." ||
      receiver.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos ||
      has_edge_blank(receiver)) {
    return std::nullopt;
  }
  std::string path = g_config.blockfiles;
  if (path.empty() || path.back() != '/') path += '/';
  path += receiver;
  return path;
}

namespace {

// The sender's value in an open block file: none when there is no record.
// A file that cannot be read stops the run: it may hold the very record
// that blocks this sender.
std::optional<std::string> fetch_value(const StoreHandle& db, const std::string& key,
                                       const std::string& path) {
  const datum found = gdbm_fetch(db.get(), datum_over(key));
  const FetchedValue value(found.dptr);
  if (value != nullptr) return std::string(value.get(), static_cast<size_t>(found.dsize));
  if (gdbm_last_errno(db.get()) != GDBM_ITEM_NOT_FOUND || gdbm_needs_recovery(db.get())) {
    fail_with_reason(path, gdbm_db_strerror(db.get()));
  }
  return std::nullopt;
}

// Whether a stored value still blocks a reply now. A value too short for a
// time is no record the program wrote: it blocks nothing.
bool blocks(const std::optional<std::string>& value) {
  if (!value) return false;
  const std::optional<int64_t> stored = decode_block_time(*value);
  if (!stored) return false;
  return !block_time_expired(*stored, time(nullptr), int64_t{g_config.blockexpire} * 3600);
}

// Opens the block file at path for the decision and the record, or stops.
StoreHandle open_for_record(const std::string& path) {
  StoreError error;
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, g_config.create_mode, &error);
  if (db) return db;
  if (error.locked) fail("CRIT/IO error locking '%s' for writing", path);
  fail_with_reason(path, error.reason);
}

// Closes a file written to; stops the run when what was written did not
// reach it.
void close_written(StoreHandle& db, const std::string& path) {
  if (!store_close_written(db)) fail_with_reason(path, store_last_error());
}

}  // namespace

BlockClaim block_claim(const std::string& sender, const std::string& receiver) {
  if (!g_config.blockstore.empty()) return redis_block_claim(sender, receiver);
  BlockClaim claim;
  if (g_config.blockexpire == 0) {
    claim.granted = true;
    return claim;
  }
  const OptionalText path = block_file_path(receiver);
  if (!path) {
    log_refused(receiver);
    return claim;
  }
  const std::string key = stored_key(sender);
  // A look under the reader lock first: most messages from a sender who was
  // answered end here, without a write lock or a flush. A missing file is
  // decided under the writer lock below; so is an empty one: another run
  // creates a block file empty and only then takes its lock and writes
  // GDBM's header, and a reader that comes in between finds no database
  // yet. A lock held for the whole wait would be held for the writer's wait
  // as well: the run stops at once.
  StoreError error;
  if (StoreHandle reader = store_open(path, StoreMode::kReader, g_config.create_mode, &error)) {
    if (blocks(fetch_value(reader, key, *path))) return claim;
  } else if (error.locked) {
    fail("CRIT/IO error locking '%s' for writing", *path);
  } else if (!error.missing && !error.empty) {
    fail_with_reason(*path, error.reason);
  }

  StoreHandle db = open_for_record(*path);
  claim.previous = fetch_value(db, key, *path);
  if (blocks(claim.previous)) return claim;
  // Taken after the open, which may have waited for the lock.
  const std::string value = encode_block_time(time(nullptr));
  if (gdbm_store(db.get(), datum_over(key), datum_over(value), GDBM_REPLACE) != 0) {
    fail_with_reason(*path, gdbm_db_strerror(db.get()));
  }
  close_written(db, *path);
  claim.granted = true;
  claim.stored = value;
  return claim;
}

void block_withdraw(const BlockClaim& claim, const std::string& sender,
                    const std::string& receiver) {
  if (!g_config.blockstore.empty()) return redis_block_withdraw(claim, sender, receiver);
  if (!claim.stored) return;
  const OptionalText path = block_file_path(receiver);
  if (!path) return;
  StoreError error;
  StoreHandle db = store_open(path, StoreMode::kWriter, g_config.create_mode, &error);
  if (!db) return log_withdraw_failed(*path, error.reason);
  const std::string key = stored_key(sender);
  const datum found = gdbm_fetch(db.get(), datum_over(key));
  const FetchedValue current(found.dptr);
  if (current == nullptr ||
      std::string_view(current.get(), static_cast<size_t>(found.dsize)) != *claim.stored) {
    return;  // gone, or another run's record by now
  }
  const int result = claim.previous ? gdbm_store(db.get(), datum_over(key),
                                                 datum_over(*claim.previous), GDBM_REPLACE)
                                    : gdbm_delete(db.get(), datum_over(key));
  if (result != 0) return log_withdraw_failed(*path, gdbm_db_strerror(db.get()));
  if (!store_close_written(db)) log_withdraw_failed(*path, store_last_error());
}
