#include "store/block.h"

#include <syslog.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>

#include "config/config.h"
#include "store/record_format.h"
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

bool block_check(const std::string& sender, const std::string& receiver) {
  if (g_config.blockexpire == 0) return true;
  const OptionalText path = block_file_path(receiver);
  if (!path) {
    log_refused(receiver);
    return false;
  }
  // The reader open fails at once for a missing file; the writer-create
  // open then makes it. GDBM sizes a file up before it takes the lock, so a
  // process that finds the empty file another has only just created may lay
  // out a fresh database over it. Its window is a few instructions wide,
  // far shorter than the other process's check and record, so no record is
  // lost that way in practice.
  StoreHandle db = store_open(path, StoreMode::kReader, g_config.umask);
  if (!db) db = store_open(path, StoreMode::kWriterCreate, g_config.umask);
  if (!db) fail("CRIT/IO %s", *path);

  const std::string key = stored_key(sender);
  const datum found = gdbm_fetch(db.get(), datum_over(key));
  const FetchedValue value(found.dptr);
  store_close(db);
  if (value == nullptr) return true;
  // A value too short for a time is no record the program wrote: ignore it.
  const auto stored =
      decode_block_time(std::string_view(value.get(), static_cast<size_t>(found.dsize)));
  if (!stored) return true;

  const int64_t now = time(nullptr);
  return block_time_expired(*stored, now, int64_t{g_config.blockexpire} * 3600);
}

void block_record(const std::string& sender, const std::string& receiver) {
  if (g_config.blockexpire == 0) return;
  const OptionalText path = block_file_path(receiver);
  if (!path) {
    log_refused(receiver);
    return;
  }
  StoreHandle db = store_open(path, StoreMode::kWriter, g_config.umask);
  if (!db) fail("CRIT/IO error locking '%s' for writing", *path);

  // Taken after the open, which may have paused for a while.
  const std::string value = encode_block_time(time(nullptr));
  const std::string key = stored_key(sender);
  const int stored = gdbm_store(db.get(), datum_over(key), datum_over(value), GDBM_REPLACE);
  store_close(db);
  if (stored != 0) fail("CRIT/IO %s", receiver);
}
