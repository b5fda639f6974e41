// Another process that holds GDBM's lock on a file, as a running orvelt
// would, until told to let go.
#pragma once

#include <sys/types.h>

#include <string>

#include "util/unique_fd.h"

class LockHolder {
 public:
  // Forks a child that opens path with the given GDBM open flags
  // (GDBM_READER: a shared lock, GDBM_WRITER: an exclusive one) and returns
  // once the lock is taken. Throws std::runtime_error when it is not.
  LockHolder(const std::string& path, int flags);
  // Lets go, if not done yet, and reaps the child.
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // Returns once the other process has closed the file.
  void release();

 private:
  pid_t pid_ = -1;
  UniqueFd to_child_;
  UniqueFd from_child_;
  bool released_ = false;
};
