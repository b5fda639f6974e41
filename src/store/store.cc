#include "store/store.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "store/block_file_space.h"
#include "store/record_format.h"
#include "util/c_owners.h"

namespace {

// The first pause and the longest, in microseconds.
constexpr unsigned kFirstPause = 1'000;
constexpr unsigned kLongestPause = 100'000;

void real_pause(unsigned microseconds) {
  timespec left{static_cast<time_t>(microseconds / 1'000'000),
                static_cast<long>(microseconds % 1'000'000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

StorePause pause_function = real_pause;

// The next draw of this thread's generator of pause factors. Each thread
// has its own, seeded at its first pause from the kernel's random bytes (or,
// without them, from the process id, the thread id and the clock), so that
// neither the processes nor the threads of one process (orveltd's workers)
// that meet the same lock retry in step. A process forked from one that
// had drawn seeds its own.
uint32_t next_pause_draw() {
  struct Generator {
    pid_t pid = 0;
    uint32_t state = 0;
  };
  thread_local Generator generator;
  if (generator.pid != getpid()) {
    generator.pid = getpid();
    if (getrandom(&generator.state, sizeof generator.state, GRND_NONBLOCK) !=
        sizeof generator.state) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      generator.state = static_cast<uint32_t>(generator.pid) * 2654435761u ^
                        static_cast<uint32_t>(gettid()) * 2246822519u ^
                        static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec);
    }
  }
  generator.state = generator.state * 1664525u + 1013904223u;
  return generator.state;
}

// The pauses of one store_open: doubling from kFirstPause up to
// kLongestPause, each scaled by a factor between 0.5 and 1.5
// (next_pause_draw).
class LockWait {
 public:
  // Pauses once; false when the overall limit has been used up instead.
  bool pause() {
    if (waited_ >= kLockWaitLimitMicroseconds) return false;
    const unsigned jitter = (next_pause_draw() >> 8) % 1001;  // 0 to 1000: a factor 0.5 to 1.5
    unsigned length = static_cast<unsigned>(uint64_t{step_} * (500 + jitter) / 1000);
    length = std::min(length, kLockWaitLimitMicroseconds - waited_);
    pause_function(length);
    waited_ += length;
    step_ = std::min(step_ * 2, kLongestPause);
    return true;
  }

 private:
  unsigned step_ = kFirstPause;
  unsigned waited_ = 0;
};

// GDBM's open flags for mode. A reader reads with pread rather than mapping
// the file: a lookup touches a few blocks, and in a process with threads
// every mapping and unmapping of a short-lived handle stops the other
// cores to flush their TLBs, which costs more than the reads it saves.
int open_flags(StoreMode mode) {
  const int flags = static_cast<int>(mode);
  return mode == StoreMode::kReader ? (flags | GDBM_NOMMAP) : flags;
}

// The reason of a failed gdbm_open: the system's error where there was one.
std::string open_failure_reason(int system_error) {
  const gdbm_error code = gdbm_errno;
  if (system_error != 0 && (gdbm_check_syserr(code) || code == GDBM_NO_ERROR)) {
    return strerror(system_error);
  }
  return gdbm_strerror(code);
}

// A temporary name beside path, removed with its file when the owner goes
// unless the file was linked into place and the name is gone already.
class TemporaryName {
 public:
  explicit TemporaryName(const std::string& path) {
    const size_t slash = path.rfind('/');
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      random = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30);
    }
    char name[64];
    snprintf(name, sizeof name, "%.*s%ld;%016llx", static_cast<int>(kStoreTemporaryPrefix.size()),
             kStoreTemporaryPrefix.data(), static_cast<long>(getpid()),
             static_cast<unsigned long long>(random));
    path_ = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
  }
  ~TemporaryName() { unlink(path_.c_str()); }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What store_open's creation of a missing file came to.
struct Creation {
  StoreHandle db;       // the new file, linked at path, open for writing
  bool failed = false;  // nothing made (the failure says why); neither: another
                        // process made path first, to be opened as it stands
};

// Makes the database at path whole under a temporary name and links it in
// (store_open's creation). GDBM writes and flushes a new database whole
// before gdbm_open returns; the handle is kept: its lock is the file's,
// whichever name it has, so the caller writes its record without a second
// open and a second flush. The name itself is left to the file system's
// next commit, as the name of a file created in place always was.
Creation create_whole(const std::string& path, int create_mode, StoreError& failure) {
  Creation creation;
  const TemporaryName temporary(path);
  errno = 0;
  StoreHandle db(gdbm_open(temporary.path().c_str(), 0, GDBM_NEWDB, create_mode, nullptr));
  if (!db) {
    const int system_error = errno;
    failure.missing = system_error == ENOENT;
    failure.reason = open_failure_reason(system_error);
    creation.failed = true;
    return creation;
  }
  if (std::string no_room = store_make_room(db.get(), 0); !no_room.empty()) {
    failure.reason = std::move(no_room);
    creation.failed = true;
    return creation;
  }
  if (link(temporary.path().c_str(), path.c_str()) == 0) {
    creation.db = std::move(db);
  } else if (errno != EEXIST) {
    failure.reason = strerror(errno);
    creation.failed = true;
  }
  return creation;
}

}  // namespace

namespace {

// The buffer of a datum that GDBM allocated (firstkey, nextkey, fetch).
using OwnedBytes = MallocPtr<char>;

std::string bytes_of(const datum& d) {
  return d.dptr != nullptr && d.dsize > 0 ? std::string(d.dptr, static_cast<size_t>(d.dsize))
                                          : std::string();
}

// The end of a walk is GDBM_ITEM_NOT_FOUND; anything else is damage.
bool walk_ended_cleanly() {
  return gdbm_errno == GDBM_ITEM_NOT_FOUND || gdbm_errno == GDBM_NO_ERROR;
}

}  // namespace

bool is_store_temporary_name(std::string_view name) {
  return name.starts_with(kStoreTemporaryPrefix);
}

void store_set_pause(StorePause pause) { pause_function = pause != nullptr ? pause : real_pause; }

StoreHandle store_open(const OptionalText& path, StoreMode mode, int create_mode,
                       StoreError* error) {
  StoreError ignored;
  StoreError& failure = error != nullptr ? *error : ignored;
  failure = StoreError{};
  if (!path) return {};
  if (mode == StoreMode::kReader) {
    struct stat status;
    if (stat(path->c_str(), &status) != 0) {
      failure.missing = errno == ENOENT;
      failure.reason = strerror(errno);
      return {};
    }
  } else if (mode == StoreMode::kWriterCreate) {
    // Any other reason why the status cannot be read is gdbm_open's to
    // report, as for the other modes.
    struct stat status;
    if (stat(path->c_str(), &status) != 0 && errno == ENOENT) {
      Creation created = create_whole(*path, create_mode, failure);
      if (created.failed) return {};
      if (created.db) return std::move(created.db);
    }
  }
  LockWait wait;
  for (;;) {
    // Cleared first, so that only this attempt's failure is looked at: GDBM
    // leaves errno alone for some failures (a bad magic number, say).
    errno = 0;
    GDBM_FILE file = gdbm_open(path->c_str(), 0, open_flags(mode), create_mode, nullptr);
    if (file != nullptr) return StoreHandle(file);
    // A lock held by another process makes gdbm_open fail at once with
    // EAGAIN ("Can't be reader" / "Can't be writer"): that one is worth
    // waiting out; anything else will not go away.
    const int system_error = errno;
    failure.reason = open_failure_reason(system_error);
    if (system_error != EAGAIN) {
      failure.missing = system_error == ENOENT;
      failure.empty = gdbm_errno == GDBM_EMPTY_DATABASE;
      return {};
    }
    if (!wait.pause()) {
      failure.locked = true;
      return {};
    }
  }
}

void store_close(StoreHandle& handle) { handle.reset(); }

bool store_close_written(StoreHandle& handle) {
  GDBM_FILE file = handle.release();
  errno = 0;
  return file == nullptr || gdbm_close(file) == 0;
}

std::string store_last_error() {
  const gdbm_error code = gdbm_errno;
  if (gdbm_check_syserr(code) && errno != 0) {
    return std::string(gdbm_strerror(code)) + ": " + strerror(errno);
  }
  return gdbm_strerror(code);
}

bool store_has_key(std::optional<std::string_view> key, const StoreHandle& handle) {
  if (!key || !handle) return false;
  if (key->size() >= static_cast<size_t>(INT_MAX)) return false;
  const std::string stored = stored_key(*key);
  return gdbm_exists(handle.get(), datum_over(stored)) != 0;
}

std::string store_open_failure() {
  switch (gdbm_errno) {
    case GDBM_CANT_BE_READER:
    case GDBM_CANT_BE_WRITER:
      return "locked by another process for too long; try again later";
    case GDBM_BAD_MAGIC_NUMBER:
    case GDBM_EMPTY_DATABASE:
    case GDBM_FILE_EOF:
    case GDBM_BAD_HEADER:
    case GDBM_BLOCK_SIZE_ERROR:
    case GDBM_BAD_FILE_OFFSET:
      return std::string("not a GDBM database (") + gdbm_strerror(gdbm_errno) + ")";
    default:
      return std::string("cannot open: ") + gdbm_strerror(gdbm_errno);
  }
}

StoreHandle store_open_existing(const std::string& path, StoreMode mode, std::string& problem) {
  problem.clear();
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    problem = errno == ENOENT ? "no such file" : strerror(errno);
    return {};
  }
  if (S_ISDIR(status.st_mode)) {
    problem = "is a directory";
  } else if (!S_ISREG(status.st_mode)) {
    problem = "not a regular file";
  } else if (status.st_size == 0) {
    problem = "empty file, not a GDBM database";
  } else if (access(path.c_str(), mode == StoreMode::kReader ? R_OK : R_OK | W_OK) != 0) {
    problem = strerror(errno);
  }
  if (!problem.empty()) return {};
  // An existing file is never created, so no creation mode is needed.
  StoreHandle db = store_open(path, mode, 0);
  if (!db) problem = store_open_failure();
  return db;
}

bool read_records(const StoreHandle& db, std::vector<RawRecord>& records, std::string& error) {
  const size_t first = records.size();
  gdbm_errno = GDBM_NO_ERROR;
  datum key = gdbm_firstkey(db.get());
  while (key.dptr != nullptr) {
    OwnedBytes key_bytes(key.dptr);
    gdbm_errno = GDBM_NO_ERROR;
    const datum value = gdbm_fetch(db.get(), key);
    OwnedBytes value_bytes(value.dptr);
    // The caller holds the lock, so a key the walk handed out that cannot
    // be fetched means a damaged file.
    if (value.dptr == nullptr && gdbm_errno != GDBM_NO_ERROR) {
      error = gdbm_strerror(gdbm_errno);
      return false;
    }
    records.push_back({bytes_of(key), bytes_of(value)});
    gdbm_errno = GDBM_NO_ERROR;
    key = gdbm_nextkey(db.get(), key);
  }
  const bool clean = walk_ended_cleanly();
  if (!clean) error = gdbm_strerror(gdbm_errno);
  std::sort(records.begin() + static_cast<std::ptrdiff_t>(first), records.end(),
            [](const RawRecord& a, const RawRecord& b) { return a.key < b.key; });
  return clean;
}
