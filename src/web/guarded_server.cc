#include "web/guarded_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "util/strings.h"
#include "web/login_limit.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for a client looks whether the server is stopping.
constexpr std::chrono::milliseconds kStopCheck{100};

// The answer of a connection beyond the peer limit.
constexpr std::string_view kTooManyConnections =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// Set by close_after_response for the request this thread serves.
thread_local bool t_close_after_response = false;

Clock::duration duration_of(time_t seconds, time_t microseconds) {
  return std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds);
}

// Waits until sock is ready for events (or has failed) and returns true;
// false once until has passed, or, with listening given, as soon as the
// server stops listening.
bool wait_ready(socket_t sock, short events, Clock::time_point until,
                const std::atomic<socket_t>* listening) {
  for (;;) {
    if (listening != nullptr && *listening == INVALID_SOCKET) return false;
    const Clock::duration left = until - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    Clock::duration slice = left;
    if (listening != nullptr) slice = std::min<Clock::duration>(slice, kStopCheck);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(slice).count();
    pollfd waited{sock, events, 0};
    const int ready = poll(&waited, 1, static_cast<int>(std::min<int64_t>(ms, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // the read or write tells what failed
  }
}

void address_of(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr,
                  0, NI_NUMERICHOST) != 0) {
    return;
  }
  ip = host;
  if (address.ss_family == AF_INET) {
    port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  } else if (address.ss_family == AF_INET6) {
    port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
}

// A connection's bytes for the library, read under the deadline of the
// request: every read waits at most the library's read time-out and never
// past the deadline, and once a read has run out of time nothing more is
// read or written, so that a late request is closed without an answer.
// Writes wait at most the write time-out each and, all together, as long
// as a request may take from the first of them.
class DeadlineStream : public httplib::Stream {
 public:
  struct Times {
    Clock::time_point deadline;  // of reading the request
    Clock::duration request;     // web_request_timeout
    Clock::duration per_read;
    Clock::duration per_write;
  };
  DeadlineStream(socket_t sock, const Times& times, const std::atomic<socket_t>& listening)
      : sock_(sock), times_(times), listening_(listening) {}

  using httplib::Stream::write;

  bool is_readable() const override { return begin_ < end_ || wait_readable(); }
  bool is_writable() const override { return wait_writable(); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      if (!wait_readable()) return -1;
      // A large read goes straight into the caller's buffer.
      if (size >= sizeof buffer_) return receive(ptr, size);
      const ssize_t got = receive(buffer_, sizeof buffer_);
      if (got <= 0) return got;
      begin_ = 0;
      end_ = static_cast<size_t>(got);
    }
    const size_t taken = std::min(size, end_ - begin_);
    memcpy(ptr, buffer_ + begin_, taken);
    begin_ += taken;
    return static_cast<ssize_t>(taken);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!wait_writable()) return -1;
    for (;;) {
      const ssize_t sent = send(sock_, ptr, size, MSG_NOSIGNAL);
      if (sent >= 0 || errno != EINTR) return sent;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      address_of(address, length, ip, port);
    }
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      address_of(address, length, ip, port);
    }
  }
  socket_t socket() const override { return sock_; }

 private:
  bool wait_readable() const {
    if (late_) return false;
    const Clock::time_point until = std::min(times_.deadline, Clock::now() + times_.per_read);
    if (wait_ready(sock_, POLLIN, until, &listening_)) return true;
    late_ = true;
    return false;
  }
  bool wait_writable() const {
    if (late_) return false;
    const Clock::time_point now = Clock::now();
    if (!write_deadline_) write_deadline_ = now + times_.request;
    return wait_ready(sock_, POLLOUT, std::min(*write_deadline_, now + times_.per_write), nullptr);
  }
  ssize_t receive(char* ptr, size_t size) {
    for (;;) {
      const ssize_t got = recv(sock_, ptr, size, 0);
      if (got >= 0 || errno != EINTR) return got;
    }
  }

  const socket_t sock_;
  const Times times_;
  const std::atomic<socket_t>& listening_;
  // A read ran out of time (or the server stopped): the request is late.
  mutable bool late_ = false;
  mutable std::optional<Clock::time_point> write_deadline_;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

// The address a connection comes from, an IPv4 one mapped into IPv6 as
// the IPv4 one; empty when the socket cannot tell.
std::string peer_of(socket_t sock) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "";
  std::string ip;
  int port = 0;
  address_of(address, length, ip, port);
  return std::string(unmapped_address(ip));
}

}  // namespace

void close_after_response(httplib::Response& res) {
  res.set_header("Connection", "close");
  t_close_after_response = true;
}

bool PeerCount::enter(const std::string& address, size_t limit) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_.find(address);
  if (limit != 0 && it != open_.end() && it->second >= limit) return false;
  ++open_[address];
  return true;
}

void PeerCount::leave(const std::string& address) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_.find(address);
  if (it == open_.end()) return;
  if (--it->second == 0) open_.erase(it);
}

ConnectionThreads::ConnectionThreads(size_t most) : most_(std::max<size_t>(most, 1)) {}

ConnectionThreads::~ConnectionThreads() { shutdown(); }

void ConnectionThreads::enqueue(std::function<void()> job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  if (jobs_.size() > idle_ && threads_.size() < most_) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No thread now: the job waits for one of those there are.
    }
  }
  ready_.notify_one();
}

void ConnectionThreads::shutdown() {
  std::vector<std::thread> threads;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void ConnectionThreads::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    try {
      job();
    } catch (const std::bad_alloc&) {
      // Out of memory: the main thread stops the server and ends the run.
      report_no_memory();
    }
    lock.lock();
  }
}

GuardedServer::GuardedServer() {
  new_task_queue = [] { return new ConnectionThreads(kConnectionThreads); };
}

bool GuardedServer::bind_and_listen(const std::string& host, int port) {
  return bind_to_port(host, port) && ::listen(svr_sock_, SOMAXCONN) == 0;
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  serve(sock);
  ::shutdown(sock, SHUT_RDWR);
  close(sock);
  return true;
}

void GuardedServer::serve(socket_t sock) {
  config_adopt_published();
  const std::string peer = peer_of(sock);
  const bool limited = !is_trusted_proxy(peer, g_config.web_trusted_proxies);
  const size_t limit = limited ? static_cast<size_t>(g_config.web_peer_limit) : 0;
  if (!peers_.enter(peer, limit)) {
    // Best effort, never waiting for the client: it is closed either way.
    (void)send(sock, kTooManyConnections.data(), kTooManyConnections.size(),
               MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  DeadlineStream::Times times;
  times.request = std::chrono::seconds(g_config.web_request_timeout);
  times.per_read = duration_of(read_timeout_sec_, read_timeout_usec_);
  times.per_write = duration_of(write_timeout_sec_, write_timeout_usec_);
  // The first request's time runs from the connection's start; a later
  // one's from its first byte, after an idle wait of the keep-alive
  // time-out at most.
  const Clock::time_point start = Clock::now();
  const Clock::duration keep_alive = std::chrono::seconds(keep_alive_timeout_sec_);
  for (size_t left = keep_alive_max_count_; left > 0; --left) {
    const bool first = left == keep_alive_max_count_;
    const Clock::time_point idle_until =
        first ? start + std::min(keep_alive, times.request) : Clock::now() + keep_alive;
    if (!wait_ready(sock, POLLIN, idle_until, &svr_sock_)) break;
    times.deadline = (first ? start : Clock::now()) + times.request;
    DeadlineStream stream(sock, times, svr_sock_);
    bool closed = false;
    t_close_after_response = false;
    const bool served = process_request(stream, left == 1, closed, nullptr);
    if (!served || closed || t_close_after_response) break;
  }
  peers_.leave(peer);
}
