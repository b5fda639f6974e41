#include "daemon/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/config.h"
#include "daemon/connection_queue.h"
#include "util/log.h"
#include "util/strings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kShuttingDown = "421 4.3.2 shutting down\r\n";

// How long the stop waits for sessions told to end at once before it
// shuts their connections down.
constexpr std::chrono::seconds kSessionGrace{2};

// How long the stop waits for workers after their connections were ended:
// one still busy then (a call that does not return) is left behind.
constexpr std::chrono::seconds kWorkerGrace{5};

// How long an ended session's last replies may wait for the client.
constexpr std::chrono::seconds kFarewellWait{2};

// How often a stop that cuts short calls cut_short again.
constexpr std::chrono::milliseconds kCutInterval{100};

// A pause after accept failed for lack of descriptors or memory, so that
// the loop does not spin while the condition lasts.
constexpr std::chrono::milliseconds kAcceptPause{100};

// What the main thread and the workers share.
struct Pool {
  ConnectionQueue queue;
  ReturnedConnections returned;
  ActiveConnections active;
  DrainSignal drain;
  std::atomic<bool> out_of_memory{false};
  std::mutex mutex;
  std::condition_variable finished;
  int running = 0;
};

std::thread::id g_main_thread;

// The pool of workers left behind by a stop: they still use it, so it is
// never destroyed, and stays reachable while the process ends.
Pool* g_left_behind = nullptr;

void server_new_handler() {
  if (std::this_thread::get_id() == g_main_thread) exit_no_memory();
  throw std::bad_alloc();
}

void worker_main(Pool& pool, const HandlerFactory& make_handler) {
  try {
    std::unique_ptr<LmtpHandler> handler = make_handler(pool.drain);
    while (std::optional<std::unique_ptr<Connection>> connection = pool.queue.pop()) {
      const int fd = (*connection)->fd.get();
      pool.active.add(fd);
      (*connection)->session.transaction(*handler);
      pool.active.remove(fd);
      pool.returned.push(std::move(*connection));
    }
  } catch (const std::bad_alloc&) {
    // The process ends from the main thread, which the flag wakes.
    pool.out_of_memory = true;
    pool.returned.wake();
  }
  {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    --pool.running;
  }
  pool.finished.notify_all();
}

// Whether every worker ended by deadline.
bool workers_ended(Pool& pool, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(pool.mutex);
  return pool.finished.wait_until(lock, deadline, [&pool] { return pool.running == 0; });
}

// The remote address of a TCP peer as text (an IPv4 address mapped into
// IPv6 written as IPv4); empty for any other.
std::string peer_address(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
  }
  return text;
}

bool is_tcp_listener(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return false;
  return address.ss_family == AF_INET || address.ss_family == AF_INET6;
}

// The poll loop of the main thread: accepting, the signals, the command
// phase of every connection, the transactions handed to the workers and
// given back, and the stop.
class Server {
 public:
  Server(UniqueFd listener, UniqueFd signal_fd, const ServerSettings& settings, Pool& pool)
      : listener_(std::move(listener)),
        signals_(std::move(signal_fd)),
        settings_(settings),
        pool_(pool),
        epoll_(epoll_create1(EPOLL_CLOEXEC)),
        tcp_(is_tcp_listener(listener_.get())) {
    const int flags = fcntl(listener_.get(), F_GETFL);
    fcntl(listener_.get(), F_SETFL, flags | O_NONBLOCK);
    watch_fd(listener_.get());
    watch_fd(signals_.get());
    watch_fd(pool_.returned.wake_fd());
  }

  // Serves until the stop is over; true when it cut work short.
  bool run();

 private:
  enum class Phase { serving, draining, cutting, done };

  void watch_fd(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
  }
  void event(int fd, uint32_t events);
  void accept_waiting();
  void admit(UniqueFd fd, const sockaddr_storage& address);
  void service(Connection& connection);
  void watch(Connection& connection, uint32_t events);
  void hand_to_worker(Connection& connection);
  void take_returned();
  void close(Connection& connection);
  void check_deadlines();
  void handle_signal();
  void begin_stop();
  void begin_cut();
  void end_remaining();
  int wait_ms() const;
  void note_deadline(Clock::time_point when) { next_check_ = std::min(next_check_, when); }

  UniqueFd listener_;
  UniqueFd signals_;
  const ServerSettings& settings_;
  Pool& pool_;
  UniqueFd epoll_;
  const bool tcp_;
  // The connections in their command phase (or writing their last replies).
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;
  int with_workers_ = 0;
  std::unordered_map<std::string, int> per_peer_;
  Clock::time_point next_check_ = Clock::time_point::max();
  Phase phase_ = Phase::serving;
  Clock::time_point phase_end_ = Clock::time_point::max();
  Clock::time_point next_cut_ = Clock::time_point::max();
  bool cut_short_ = false;
};

bool Server::run() {
  constexpr int kEvents = 64;
  epoll_event events[kEvents];
  while (phase_ != Phase::done) {
    const int ready = epoll_wait(epoll_.get(), events, kEvents, wait_ms());
    for (int i = 0; i < ready; ++i) event(events[i].data.fd, events[i].events);
    if (pool_.out_of_memory) exit_no_memory();
    const Clock::time_point now = Clock::now();
    if (now >= next_check_) check_deadlines();
    if (phase_ == Phase::serving) continue;
    if (connections_.empty() && with_workers_ == 0) break;
    if (phase_ == Phase::draining && now >= phase_end_) begin_cut();
    if (phase_ == Phase::cutting && now >= next_cut_) {
      if (settings_.cut_short) settings_.cut_short();
      next_cut_ = now + kCutInterval;
    }
    if (phase_ == Phase::cutting && now >= phase_end_) end_remaining();
  }
  return cut_short_;
}

int Server::wait_ms() const {
  Clock::time_point wake = next_check_;
  if (phase_ != Phase::serving) wake = std::min(wake, phase_end_);
  if (phase_ == Phase::cutting) wake = std::min(wake, next_cut_);
  if (wake == Clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

void Server::event(int fd, uint32_t events) {
  if (listener_.valid() && fd == listener_.get()) return accept_waiting();
  if (fd == signals_.get()) return handle_signal();
  if (fd == pool_.returned.wake_fd()) return take_returned();
  const auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  (void)events;  // the session finds out by reading and writing
  service(*found->second);
}

// Takes every connection waiting on the (non-blocking) listener.
void Server::accept_waiting() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int fd = accept4(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      admit(UniqueFd(fd), address);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    log_message(LOG_WARNING, "WARN/SYS accept: %s", strerror(errno));
    std::this_thread::sleep_for(kAcceptPause);
    return;
  }
}

void Server::admit(UniqueFd fd, const sockaddr_storage& address) {
  std::string peer;
  if (tcp_) {
    peer = peer_address(address);
    const int limit = g_config.lmtp_peer_limit;
    int& count = per_peer_[peer];
    if (limit > 0 && count >= limit) {
      if (count == 0) per_peer_.erase(peer);
      const std::string refusal = "421 4.7.0 too many connections from " + peer + "\r\n";
      (void)!send(fd.get(), refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      return;  // fd closes here
    }
    ++count;
  }
  LmtpLimits limits;
  limits.idle_timeout = g_config.lmtp_timeout;
  limits.data_timeout = g_config.lmtp_data_timeout;
  limits.stop = &pool_.drain.requested;
  limits.stop_now = &pool_.drain.immediate;
  auto connection = std::make_unique<Connection>(std::move(fd), limits, std::move(peer));
  Connection& admitted = *connection;
  connections_.emplace(admitted.fd.get(), std::move(connection));
  admitted.session.greet();
  service(admitted);
}

// Answers what the client sent, writes what it takes, and then watches the
// connection for what the session waits for, hands its transaction to a
// worker, or closes it once its last replies are written.
void Server::service(Connection& connection) {
  LmtpSession& session = connection.session;
  if (!connection.close_by) {
    session.stop_if_due();
    for (;;) {
      const LmtpSession::Step step = session.advance();
      const bool held_back = session.held_back();
      if (!session.send_now()) return close(connection);
      if (step == LmtpSession::Step::transaction) return hand_to_worker(connection);
      if (step == LmtpSession::Step::end) break;
      // The replies that held further commands back are written: go on.
      if (held_back && !session.output_pending()) continue;
      if (session.held_back()) {
        watch(connection, EPOLLOUT);
      } else {
        watch(connection, EPOLLIN | (session.output_pending() ? EPOLLOUT : 0u));
      }
      note_deadline(session.deadline());
      return;
    }
  }
  if (!session.send_now() || !session.output_pending()) return close(connection);
  if (!connection.close_by) {
    connection.close_by = Clock::now() + kFarewellWait;
    note_deadline(*connection.close_by);
  }
  watch(connection, EPOLLOUT);
}

void Server::watch(Connection& connection, uint32_t events) {
  if (connection.watched == events) return;
  epoll_event event{};
  event.events = events;
  event.data.fd = connection.fd.get();
  const int operation = connection.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  epoll_ctl(epoll_.get(), operation, connection.fd.get(), &event);
  connection.watched = events;
}

void Server::hand_to_worker(Connection& connection) {
  if (connection.watched != 0) {
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, connection.fd.get(), nullptr);
    connection.watched = 0;
  }
  const auto found = connections_.find(connection.fd.get());
  std::unique_ptr<Connection> handed = std::move(found->second);
  connections_.erase(found);
  ++with_workers_;
  pool_.queue.push(std::move(handed));
}

void Server::take_returned() {
  for (std::unique_ptr<Connection>& returned : pool_.returned.take()) {
    --with_workers_;
    Connection& connection = *returned;
    connections_.emplace(connection.fd.get(), std::move(returned));
    service(connection);
  }
}

void Server::close(Connection& connection) {
  if (!connection.peer.empty()) {
    const auto found = per_peer_.find(connection.peer);
    if (found != per_peer_.end() && --found->second <= 0) per_peer_.erase(found);
  }
  // Closing the socket takes it out of the epoll set.
  connections_.erase(connection.fd.get());
}

// Ends the sessions idle for too long and closes the connections whose
// last replies were not taken in time; notes when to look next.
void Server::check_deadlines() {
  const Clock::time_point now = Clock::now();
  next_check_ = Clock::time_point::max();
  std::vector<Connection*> due;
  for (const auto& [fd, connection] : connections_) {
    const Clock::time_point deadline =
        connection->close_by ? *connection->close_by : connection->session.deadline();
    if (deadline <= now) {
      due.push_back(connection.get());
    } else {
      note_deadline(deadline);
    }
  }
  for (Connection* connection : due) {
    if (connection->close_by) {
      close(*connection);
      continue;
    }
    connection->session.end_with("421 4.4.2 idle timeout");
    service(*connection);
  }
}

void Server::handle_signal() {
  signalfd_siginfo info{};
  if (read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
  if (info.ssi_signo == SIGHUP) {
    if (settings_.reload) settings_.reload();
    return;
  }
  if (phase_ == Phase::serving) begin_stop();
}

// Every connection in the loop serviced again, for a stop that applies now.
void for_each_connection(std::unordered_map<int, std::unique_ptr<Connection>>& connections,
                         const std::function<void(Connection&)>& action) {
  std::vector<Connection*> all;
  all.reserve(connections.size());
  for (const auto& [fd, connection] : connections) all.push_back(connection.get());
  for (Connection* connection : all) action(*connection);
}

void Server::begin_stop() {
  log_message(LOG_INFO, "INFO/SYS stopping");
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
  listener_.reset();
  pool_.drain.requested = true;
  phase_ = Phase::draining;
  phase_end_ = Clock::now() + settings_.drain_limit;
  for_each_connection(connections_, [this](Connection& c) { service(c); });
}

void Server::begin_cut() {
  log_message(LOG_WARNING, "WARN/SYS sessions still running at the end of the stop: ended");
  cut_short_ = true;
  pool_.drain.immediate = true;
  if (settings_.cut_short) settings_.cut_short();
  phase_ = Phase::cutting;
  const Clock::time_point now = Clock::now();
  phase_end_ = now + kSessionGrace;
  next_cut_ = now + kCutInterval;
  for_each_connection(connections_, [this](Connection& c) { service(c); });
}

// The grace after the cut is over: the connections the workers still hold
// get the 421 and are shut down, those of the loop are closed.
void Server::end_remaining() {
  pool_.active.abort_all(kShuttingDown);
  for_each_connection(connections_, [this](Connection& c) { close(c); });
  phase_ = Phase::done;
}

}  // namespace

UniqueFd block_server_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return UniqueFd(signalfd(-1, &set, SFD_CLOEXEC));
}

void install_server_no_memory_handler() {
  g_main_thread = std::this_thread::get_id();
  std::set_new_handler(server_new_handler);
}

ServerEnd run_server(UniqueFd listener, UniqueFd signal_fd, const ServerSettings& settings,
                     const HandlerFactory& make_handler) {
  // Workers left behind at the end of a stop still use it (g_left_behind).
  Pool* const pool = new Pool;
  pool->running = settings.workers;
  std::vector<std::thread> workers;
  for (int i = 0; i < settings.workers; ++i) {
    workers.emplace_back(worker_main, std::ref(*pool), std::cref(make_handler));
  }
  ServerEnd end;
  {
    Server server(std::move(listener), std::move(signal_fd), settings, *pool);
    end.cut_short = server.run();
  }
  pool->queue.close();
  if (!workers_ended(*pool, Clock::now() + kWorkerGrace)) {
    log_message(LOG_WARNING, "WARN/SYS workers still busy at the end of the stop: left");
    for (std::thread& worker : workers) worker.detach();
    g_left_behind = pool;
    end.cut_short = true;
    return end;
  }
  for (std::thread& worker : workers) worker.join();
  delete pool;
  return end;
}
