// A TCP relay for one test, between a client and a server on the loopback
// interface (such as orveltd and the private slapd): it listens on a free
// port of 127.0.0.1 and forwards each connection accepted to the server's
// port over a connection of its own, byte for byte, from a thread of its
// own. black_hole() makes it forget the connections open at that moment,
// as a firewall that dropped them on the way would: nothing more is
// forwarded on them either way (what arrives is read and dropped) and
// nothing is closed, so each side waits in vain. Connections accepted later
// are forwarded again. Stopped, with every connection closed, when the
// object goes.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/unique_fd.h"

class TcpRelay {
 public:
  // Throws std::runtime_error when it cannot listen.
  explicit TcpRelay(int server_port);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // The port it listens on, on 127.0.0.1.
  int port() const { return port_; }

  // From now on the connections open now forward nothing.
  void black_hole();

  // The ports the relay's clients connect from (their own ends), of the
  // connections it forwards now, in the order they came.
  std::vector<int> client_ports() const;

 private:
  struct Link {
    UniqueFd client;
    UniqueFd server;
    int client_port = 0;
    bool dropped = false;  // black-holed
    // A dropped link's side that ended is no longer watched (and its other
    // side not told).
    bool client_ended = false;
    bool server_ended = false;
  };

  void run();
  // Forwards what is readable on from to to (drops it for a dropped link);
  // false when from ended or failed.
  static bool pass(int from, int to, bool dropped);

  int server_port_;
  int port_ = 0;
  UniqueFd listener_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  mutable std::mutex mutex_;
  std::vector<Link> links_;  // guarded by mutex_
  bool stopping_ = false;    // guarded by mutex_
  std::thread thread_;
};
