#include "support/lock_holder.h"

#include <gdbm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>

LockHolder::LockHolder(const std::string& path, int flags) {
  int to_child[2];
  int from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    close(to_child[1]);
    close(from_child[0]);
    GDBM_FILE db = gdbm_open(path.c_str(), 0, flags, 0600, nullptr);
    char c = db != nullptr ? 'L' : 'F';
    if (write(from_child[1], &c, 1) != 1) _exit(2);
    // Until the parent says so, or goes away.
    if (read(to_child[0], &c, 1) < 0) _exit(2);
    if (db != nullptr) gdbm_close(db);
    c = 'R';
    if (write(from_child[1], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  close(to_child[0]);
  close(from_child[1]);
  to_child_.reset(to_child[1]);
  from_child_.reset(from_child[0]);
  char c = 0;
  if (read(from_child_.get(), &c, 1) != 1 || c != 'L') throw std::runtime_error("lock not taken");
}

LockHolder::~LockHolder() {
  release();
  int status;
  waitpid(pid_, &status, 0);
}

void LockHolder::release() {
  if (released_) return;
  released_ = true;
  char c = 'x';
  if (write(to_child_.get(), &c, 1) != 1 || read(from_child_.get(), &c, 1) != 1 || c != 'R') {
    ADD_FAILURE() << "lock holder did not release";
  }
}
