// A private redis-server for one test: started by the constructor on a free
// loopback port, without persistence (--save '' --appendonly no), its files
// in a temporary directory removed by the destructor, which also stops the
// server. Should the test process die without unwinding, the server is
// sent SIGTERM (PR_SET_PDEATHSIG).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "store/redis_store.h"
#include "support/temp_dir.h"

// What the server is started with:
//   RedisOptions().password("pw").replica_of(primary)
class RedisServer;
struct RedisOptions {
  std::string requirepass;               // AUTH needed when set
  const RedisServer* primary = nullptr;  // started with --replicaof this one

  RedisOptions& password(const std::string& text) {
    requirepass = text;
    return *this;
  }
  // The replica is ready once its link to the primary is up; it takes the
  // primary's password as its own and for the link.
  RedisOptions& replica_of(const RedisServer& server) {
    primary = &server;
    return *this;
  }
};

class RedisServer {
 public:
  // Throws std::runtime_error, with the server's log, when it does not come
  // up.
  explicit RedisServer(const RedisOptions& options = {});
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  int port() const { return port_; }
  const std::string& password() const { return password_; }
  // redis://127.0.0.1:<port>
  std::string url() const;
  // unix:<socket path>
  std::string unix_url() const;

  // SIGSTOP and SIGCONT: a stopped server accepts connections (the kernel
  // does) but answers nothing.
  void stop() const;
  void cont() const;

  // One command on a connection of its own, as the administrator (through
  // the server's socket, which no other server can hold).
  RedisReply command(const std::vector<std::string>& words) const;
  // The value of key; none when there is no such key.
  std::optional<std::string> get(const std::string& key) const;
  // Seconds until key expires (TTL: -2 no key, -1 no expiry).
  long long ttl(const std::string& key) const;
  // Every key, sorted.
  std::vector<std::string> keys() const;

 private:
  TempDir dir_;
  std::string password_;
  int port_ = 0;
  pid_t pid_ = 0;
};

// A loopback port where nothing listens: connections to it are refused
// while the object lives (the port is bound, never listened on).
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  int port() const { return port_; }
  std::string url() const;

 private:
  int fd_ = -1;
  int port_ = 0;
};
