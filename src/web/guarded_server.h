// cpp-httplib's server with the bounds a public page needs, which the
// library has only per read: every request must arrive whole (its header
// and body together) within web_request_timeout, one client address may
// hold at most web_peer_limit connections open, and each connection under
// way has a thread of its own (up to kConnectionThreads), so that a few
// slow clients cannot hold every thread while others wait.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Connections served at once; more wait for a thread.
inline constexpr size_t kConnectionThreads = 128;

// The connections open per client address. Thread-safe.
class PeerCount {
 public:
  // Counts one more connection from address: false (nothing counted) when
  // limit are open already; a limit of 0 holds none back.
  bool enter(const std::string& address, size_t limit);
  // One connection from address has closed.
  void leave(const std::string& address);

 private:
  std::mutex mutex_;
  std::map<std::string, size_t> open_;
};

// The library's queue of accepted connections: a thread is started for a
// connection when none is idle, up to a most; threads stay for the next.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(size_t most);
  ~ConnectionThreads() override;
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  void enqueue(std::function<void()> job) override;
  // Runs the jobs still queued, then ends and joins every thread.
  void shutdown() override;

 private:
  void work();

  const size_t most_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

// Called by a handler: the connection of the request this thread serves is
// closed once res is written (the request's body was left unread, say),
// and res says so.
void close_after_response(httplib::Response& res);

class GuardedServer : public httplib::Server {
 public:
  GuardedServer();
  // bind_to_port, with a backlog of pending connections as long as the
  // system allows: the library's own of 5 drops the connections a few
  // browsers open at once, which then wait for the client's retry.
  bool bind_and_listen(const std::string& host, int port);

 private:
  // Serves the requests of one connection, as the library does, under the
  // bounds above; reads this thread's g_config (adopting the published one
  // first) for web_request_timeout, web_peer_limit and
  // web_trusted_proxies. A connection beyond the peer limit gets a bare
  // 503 and is closed; a request not read whole in time is closed without
  // an answer.
  bool process_and_close_socket(socket_t sock) override;
  void serve(socket_t sock);

  PeerCount peers_;
};
