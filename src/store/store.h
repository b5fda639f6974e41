// GDBM access shared by every database of the program: a locked open that
// waits out other processes' locks in short pauses, and key lookups.
//
// Every key is a text stored together with its terminating NUL byte
// (store/record_format.h), so a database written without that byte never
// matches.
#pragma once

#include <gdbm.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/strings.h"

// How store_open opens a file; the values are GDBM's own open flags.
enum class StoreMode : int {
  kReader = GDBM_READER,        // read only, the file must exist
  kWriter = GDBM_WRITER,        // read and write, the file must exist
  kWriterCreate = GDBM_WRCREAT  // read and write, a missing file is created whole
};

// The start of the name under which store_open creates a file before it
// links it into place: ".new;", then the process id, ';' and a random
// number in hex. No receiver's block file has such a name (an address has
// no ';'), and it stays far below NAME_MAX.
inline constexpr std::string_view kStoreTemporaryPrefix = ".new;";

// Whether name (a file name without its directory) is such a temporary.
bool is_store_temporary_name(std::string_view name);

// Owns one open GDBM file, or nothing; closing releases GDBM's lock.
class StoreHandle {
 public:
  StoreHandle() = default;
  explicit StoreHandle(GDBM_FILE file) : file_(file) {}
  ~StoreHandle() { reset(); }
  StoreHandle(StoreHandle&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  StoreHandle& operator=(StoreHandle&& other) noexcept {
    if (this != &other) {
      reset();
      file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
  }
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;

  GDBM_FILE get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }
  // Gives up the file without closing it.
  GDBM_FILE release() { return std::exchange(file_, nullptr); }
  // Closes the file held, if any.
  void reset() {
    if (file_ != nullptr) gdbm_close(std::exchange(file_, nullptr));
  }

 private:
  GDBM_FILE file_ = nullptr;
};

// Why store_open gave no file.
struct StoreError {
  bool missing = false;  // the file does not exist (modes that do not create)
  bool locked = false;   // another process held its lock for the whole wait
  bool empty = false;    // the file has no bytes yet: GDBM_WRCREAT makes it a
                         // database, and another process may be doing so
  std::string reason;    // what went wrong: the system's or GDBM's text
};

// The longest that store_open waits, in all, for a lock that another process
// holds: as long as the old random pauses (11 of at most 10 s) could take.
inline constexpr unsigned kLockWaitLimitMicroseconds = 110'000'000;

// Opens the GDBM file at path (none gives none) in mode. kWriterCreate
// creates a missing file with create_mode as its permission bits (less the
// process umask), and never leaves a part of one under path: it creates the
// database under a temporary name in the same directory
// (kStoreTemporaryPrefix), with room reserved for a first record
// (store_make_room, store/block_file_space.h; GDBM flushes a new database
// whole as it makes it), links it to path unless a file has that name by
// then (another process created it first: that one is opened) and removes
// the temporary name either way; the new file's handle, locked, is the one
// returned. A failure
// while creating removes the temporary and gives none with the reason:
// GDBM's or the system's text, or kNoSpaceForStore. An existing empty file
// (never one this function created) is made a database in place. The other
// modes never create and ignore create_mode. A reader reads the file with
// GDBM's own reads and never maps it. A reader open of a file whose
// status cannot be read gives none at once.
//
// A lock held by another process (gdbm_open fails with EAGAIN) is waited
// out in short pauses, from about 1 ms growing to at most 100 ms, each
// varied by up to a half by a random draw of the thread's own (so that
// processes, and the threads of one process, that collide do not retry in
// step), until kLockWaitLimitMicroseconds of pauses have passed; any
// other failure gives none at once, without a pause.
// Logs nothing: a failure is the caller's to report, from *error if given.
StoreHandle store_open(const OptionalText& path, StoreMode mode, int create_mode,
                       StoreError* error = nullptr);

// Opens the existing database at path in mode through store_open, for a
// person to read about when it fails: what GDBM would report less plainly
// is found out first. None, with problem set, for a missing file ("no such
// file"), one that is a directory ("is a directory"), no regular file ("not
// a regular file") or empty ("empty file, not a GDBM database": a writer
// open would turn it into a database), missing permissions (the system's
// text), a lock held for the whole wait ("locked by another process for too
// long; try again later"), a file that is no database ("not a GDBM database
// (<GDBM's text>)") or another failure ("cannot open: <GDBM's text>").
StoreHandle store_open_existing(const std::string& path, StoreMode mode, std::string& problem);

// Why the last store_open failed, in the words of store_open_existing,
// from GDBM's error code (which store_open's pauses leave alone).
std::string store_open_failure();

// Closes the handle, if it holds a file; it holds nothing afterwards.
void store_close(StoreHandle& handle);

// Closes a handle that was written through: GDBM then writes out what it
// still holds and flushes the file. False when that failed; the reason is
// then store_last_error().
bool store_close_written(StoreHandle& handle);

// The text of the last GDBM failure of the process (with the system's error
// where GDBM had one).
std::string store_last_error();

// True only when both key and handle are given and the database holds the
// key with its NUL byte. Logs nothing.
bool store_has_key(std::optional<std::string_view> key, const StoreHandle& handle);

// One record exactly as stored.
struct RawRecord {
  std::string key;
  std::string value;
};

// Appends every record of db to records, sorted by key bytes. Returns false,
// with a GDBM error text in error, when the file cannot be walked to its
// end (a damaged database); records then holds what was read.
bool read_records(const StoreHandle& db, std::vector<RawRecord>& records, std::string& error);

// The pause between two open attempts. Tests replace it so that they need
// not wait; a null pause restores the real one (nanosleep(2)).
using StorePause = void (*)(unsigned microseconds);
void store_set_pause(StorePause pause);
