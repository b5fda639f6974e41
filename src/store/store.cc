#include "store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "store/record_format.h"

namespace {

// The first attempt and up to ten retries.
constexpr int kMaxAttempts = 11;

void real_pause(unsigned seconds) { sleep(seconds); }

StorePause pause_function = real_pause;

// Pauses for a random 1 to 10 seconds. The generator is seeded with the
// process id as well as the time: processes that collide within the same
// second must not pause in lockstep and collide again.
void pause_after_failed_open() {
  const auto now = static_cast<unsigned>(time(nullptr));
  const auto pid = static_cast<unsigned>(getpid());
  srand(now ^ (pid * 2654435761u));
  const int r = rand();
  const auto seconds = 1 + static_cast<unsigned>(r * 10.0 / 2147483648.0);
  pause_function(seconds);
}

}  // namespace

void store_set_pause(StorePause pause) { pause_function = pause != nullptr ? pause : real_pause; }

StoreHandle store_open(const OptionalText& path, StoreMode mode, int create_mode) {
  if (!path) return {};
  if (mode == StoreMode::kReader) {
    struct stat status;
    if (stat(path->c_str(), &status) != 0) return {};
  }
  for (int attempt = 1;; ++attempt) {
    // Cleared first, so that only this attempt's failure is looked at: GDBM
    // leaves errno alone for some failures (a bad magic number, say).
    errno = 0;
    GDBM_FILE file = gdbm_open(path->c_str(), 0, static_cast<int>(mode), create_mode, nullptr);
    if (file != nullptr) return StoreHandle(file);
    // A lock held by another process makes gdbm_open fail at once with
    // EAGAIN ("Can't be reader" / "Can't be writer"): that one is worth
    // waiting out; anything else will not go away.
    const int failure = errno;
    pause_after_failed_open();
    if (failure != EAGAIN || attempt >= kMaxAttempts) return {};
  }
}

void store_close(StoreHandle& handle) { handle.reset(); }

bool store_has_key(std::optional<std::string_view> key, const StoreHandle& handle) {
  if (!key || !handle) return false;
  if (key->size() >= static_cast<size_t>(INT_MAX)) return false;
  const std::string stored = stored_key(*key);
  return gdbm_exists(handle.get(), datum_over(stored)) != 0;
}
