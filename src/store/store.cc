#include "store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "store/record_format.h"

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

// The pauses of one store_open: doubling from kFirstPause up to
// kLongestPause, each scaled by a factor between 0.5 and 1.5 drawn from a
// generator seeded with the process id and the time.
class LockWait {
 public:
  LockWait()
      : state_(static_cast<uint32_t>(getpid()) * 2654435761u ^
               static_cast<uint32_t>(time(nullptr))) {}

  // Pauses once; false when the overall limit has been used up instead.
  bool pause() {
    if (waited_ >= kLockWaitLimitMicroseconds) return false;
    state_ = state_ * 1664525u + 1013904223u;
    const unsigned jitter = (state_ >> 8) % 1001;  // 0 to 1000: a factor 0.5 to 1.5
    unsigned length = static_cast<unsigned>(uint64_t{step_} * (500 + jitter) / 1000);
    length = std::min(length, kLockWaitLimitMicroseconds - waited_);
    pause_function(length);
    waited_ += length;
    step_ = std::min(step_ * 2, kLongestPause);
    return true;
  }

 private:
  uint32_t state_;
  unsigned step_ = kFirstPause;
  unsigned waited_ = 0;
};

// The reason of a failed gdbm_open: the system's error where there was one.
std::string open_failure_reason(int system_error) {
  const gdbm_error code = gdbm_errno;
  if (system_error != 0 && (gdbm_check_syserr(code) || code == GDBM_NO_ERROR)) {
    return strerror(system_error);
  }
  return gdbm_strerror(code);
}

}  // namespace

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
  }
  LockWait wait;
  for (;;) {
    // Cleared first, so that only this attempt's failure is looked at: GDBM
    // leaves errno alone for some failures (a bad magic number, say).
    errno = 0;
    GDBM_FILE file = gdbm_open(path->c_str(), 0, static_cast<int>(mode), create_mode, nullptr);
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
