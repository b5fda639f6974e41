// The connections of orveltd: each one's socket and LMTP session, their
// hand-over from the main thread's poll loop to the workers (a transaction
// at its DATA) and back, and the record of the ones the workers hold.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lmtp/session.h"
#include "util/unique_fd.h"

// One client's connection. Held by the poll loop while in its command
// phase, by one worker while it serves a transaction: never by two threads
// at once.
struct Connection {
  Connection(UniqueFd socket, const LmtpLimits& limits, std::string peer_address)
      : fd(std::move(socket)), session(fd.get(), limits), peer(std::move(peer_address)) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  UniqueFd fd;
  LmtpSession session;
  // The remote address it counts against (a TCP listener's); empty when none.
  std::string peer;
  // The poll loop's: the events it watches the socket for (none while a
  // worker holds it), and, once the session ended with replies still to
  // write, until when it waits for the client to take them.
  uint32_t watched = 0;
  std::optional<std::chrono::steady_clock::time_point> close_by;
};

// Transactions waiting for a worker, first come first served. Unbounded: a
// transaction waits here however many there are.
class ConnectionQueue {
 public:
  // Appends a connection and wakes one waiting worker. After close, the
  // connection is closed instead.
  void push(std::unique_ptr<Connection> connection);
  // The oldest connection, waiting for one; none once the queue is closed.
  std::optional<std::unique_ptr<Connection>> pop();
  // No more connections are handed out; the ones still waiting are
  // returned to the caller, and every waiting pop returns none.
  std::vector<std::unique_ptr<Connection>> close();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::unique_ptr<Connection>> waiting_;
  bool closed_ = false;
};

// Connections the workers give back to the poll loop, which an eventfd
// wakes.
class ReturnedConnections {
 public:
  ReturnedConnections();
  // The descriptor that becomes readable when connections were given back.
  int wake_fd() const { return wake_.get(); }
  void push(std::unique_ptr<Connection> connection);
  // Wakes the poll loop without a connection (a worker's news).
  void wake();
  // Every connection given back so far; the wake-up is taken with them.
  std::vector<std::unique_ptr<Connection>> take();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> returned_;
  UniqueFd wake_;
};

// The connections the workers serve at the moment, so that a stop that
// ran out of time can end them.
class ActiveConnections {
 public:
  void add(int fd);
  // Called before the worker gives fd back: after this, fd is no longer
  // written to from outside.
  void remove(int fd);
  // Writes line to every connection still served (without waiting for a
  // slow client) and shuts it down, so that its worker's next read or
  // write fails and the session ends.
  void abort_all(const char* line);

 private:
  std::mutex mutex_;
  std::set<int> fds_;
};
