#include "config/config_snapshot.h"

#include <syslog.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "config/config.h"
#include "util/log.h"

namespace {

// The newest published record and its generation, changed together under
// the mutex. The record is shared and never changed once published: an
// adopting thread takes its own reference under the lock and copies it
// after, so that a publication never waits for a copy to end.
struct Published {
  std::shared_ptr<const Config> record;
  uint64_t generation = 0;
};
std::mutex published_mutex;
Published published;

// The newest generation, readable without the lock: the cheap question
// whether anything newer has come. Stored after the record under the lock.
std::atomic<uint64_t> newest_generation{0};

thread_local uint64_t held_generation = 0;

}  // namespace

void config_publish() {
  auto record = std::make_shared<const Config>(g_config);
  std::shared_ptr<const Config> replaced;  // released after the lock
  {
    const std::lock_guard lock(published_mutex);
    replaced = std::exchange(published.record, std::move(record));
    held_generation = ++published.generation;
    newest_generation.store(published.generation, std::memory_order_release);
  }
}

bool config_adopt_published() {
  if (newest_generation.load(std::memory_order_acquire) <= held_generation) return false;
  Published newest;
  {
    const std::lock_guard lock(published_mutex);
    newest = published;
  }
  if (newest.generation <= held_generation) return false;
  g_config = *newest.record;
  held_generation = newest.generation;
  return true;
}

uint64_t config_generation() { return held_generation; }

bool config_reload(const char* path) {
  Config previous = g_config;
  if (const std::optional<std::string> reason = config_read_path(path)) {
    g_config = std::move(previous);
    log_message(LOG_WARNING, "WARN/CFG reload failed: %s: %s", log_safe(path).c_str(),
                reason->c_str());
    return false;
  }
  config_publish();
  log_message(LOG_INFO, "INFO/SYS configuration reloaded");
  return true;
}
