// GDBM access shared by every database of the program: a locked open that
// waits out other processes' locks with random pauses, and key lookups.
//
// Every key is a text stored together with its terminating NUL byte
// (store/record_format.h), so a database written without that byte never
// matches.
#pragma once

#include <gdbm.h>

#include <optional>
#include <string_view>
#include <utility>

#include "util/strings.h"

// How store_open opens a file; the values are GDBM's own open flags.
enum class StoreMode : int {
  kReader = GDBM_READER,        // read only, the file must exist
  kWriter = GDBM_WRITER,        // read and write, the file must exist
  kWriterCreate = GDBM_WRCREAT  // read and write, a missing file is created
};

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
  // Closes the file held, if any.
  void reset() {
    if (file_ != nullptr) gdbm_close(std::exchange(file_, nullptr));
  }

 private:
  GDBM_FILE file_ = nullptr;
};

// Opens the GDBM file at path (none gives none) in mode. kWriterCreate
// creates a missing file with create_mode as its permission bits (less the
// process umask); the other modes never create and ignore create_mode. A
// reader open of a file whose status cannot be read gives none at once.
// Otherwise every failed attempt is followed by one random pause of 1 to 10
// seconds, and only a lock held by another process (errno EAGAIN) is tried
// again, up to 11 attempts in all. Logs nothing: a failure is the caller's
// to report.
StoreHandle store_open(const OptionalText& path, StoreMode mode, int create_mode);

// Closes the handle, if it holds a file; it holds nothing afterwards.
void store_close(StoreHandle& handle);

// True only when both key and handle are given and the database holds the
// key with its NUL byte. Logs nothing.
bool store_has_key(std::optional<std::string_view> key, const StoreHandle& handle);

// The pause between two open attempts. Tests replace it so that they need
// not wait; a null pause restores the real sleep(3).
using StorePause = void (*)(unsigned seconds);
void store_set_pause(StorePause pause);
