// The hand-over of accepted connections from the main thread to the
// workers, and the record of the connections being served.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "util/unique_fd.h"

// Connections accepted and not yet taken by a worker, first come first
// served. Unbounded: a connection waits here for a worker however many
// there are (the kernel's backlog would otherwise refuse the MTA's).
class ConnectionQueue {
 public:
  // Appends fd and wakes one waiting worker. After close, fd is closed
  // instead.
  void push(UniqueFd fd);
  // The oldest connection, waiting for one; none once the queue is closed.
  std::optional<UniqueFd> pop();
  // No more connections are handed out; the ones still waiting are
  // returned to the caller, and every waiting pop returns none.
  std::vector<UniqueFd> close();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<UniqueFd> waiting_;
  bool closed_ = false;
};

// The connections the workers serve at the moment, so that a stop that
// ran out of time can end them, and so that it knows when all are done.
class ActiveConnections {
 public:
  void add(int fd);
  // Called before the worker closes fd: after this, fd is no longer
  // written to from outside.
  void remove(int fd);
  // Waits until no connection is served or the deadline passes; true when
  // none is left.
  bool wait_empty(std::chrono::steady_clock::time_point deadline);
  // Writes line to every connection still served (without waiting for a
  // slow client) and shuts it down, so that its worker's next read or
  // write fails and the session ends.
  void abort_all(const char* line);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<int> fds_;
};
