#include "daemon/server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "daemon/connection_queue.h"
#include "util/log.h"
#include "util/strings.h"

namespace {

constexpr const char* kShuttingDown = "421 4.3.2 shutting down\r\n";

// How long the stop waits for sessions told to end at once before it
// shuts their connections down.
constexpr std::chrono::seconds kSessionGrace{2};

// How long the stop waits for workers after their connections were ended:
// one still busy then (an MTA or a directory call that does not return)
// is left behind.
constexpr std::chrono::seconds kWorkerGrace{5};

// A pause after accept failed for lack of descriptors or memory, so that
// the loop does not spin while the condition lasts.
constexpr std::chrono::milliseconds kAcceptPause{100};

// What the main thread and the workers share.
struct Pool {
  ConnectionQueue queue;
  ActiveConnections active;
  DrainSignal drain;
  std::mutex mutex;
  std::condition_variable finished;
  int running = 0;
};

// Serves the connections of the queue until it closes. Out of memory
// (std::bad_alloc, util/strings.h) ends the worker and is reported to the
// main thread, which stops the server and ends the run.
void serve_connections(Pool& pool, const HandlerFactory& make_handler) {
  std::unique_ptr<ConnectionHandler> handler = make_handler();
  while (std::optional<UniqueFd> fd = pool.queue.pop()) {
    pool.active.add(fd->get());
    bool served = true;
    try {
      handler->serve(fd->get(), pool.drain);
    } catch (const std::bad_alloc&) {
      served = false;
    }
    pool.active.remove(fd->get());
    if (!served) throw std::bad_alloc();
  }
}

void worker_main(Pool& pool, const HandlerFactory& make_handler) {
  try {
    serve_connections(pool, make_handler);
  } catch (const std::bad_alloc&) {
    report_no_memory();
  }
  {
    const std::lock_guard<std::mutex> lock(pool.mutex);
    --pool.running;
  }
  pool.finished.notify_all();
}

// Takes every connection waiting on the (non-blocking) listener.
void accept_waiting(int listener, ConnectionQueue& queue) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      queue.push(UniqueFd(fd));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    log_message(LOG_WARNING, "WARN/SYS accept: %s", strerror(errno));
    std::this_thread::sleep_for(kAcceptPause);
    return;
  }
}

// Reads one signal from signal_fd; true when it asks the server to stop.
bool stop_requested(int signal_fd, const ServerSettings& settings) {
  signalfd_siginfo info{};
  if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return false;
  if (info.ssi_signo != SIGHUP) return true;
  if (settings.reload) settings.reload();
  return false;
}

// Accepts and handles signals until a stop is asked for.
void accept_until_stopped(int listener, int signal_fd, const ServerSettings& settings,
                          ConnectionQueue& queue) {
  pollfd fds[2] = {{listener, POLLIN, 0}, {signal_fd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;  // EINTR: nothing to do
    if ((fds[1].revents & POLLIN) != 0 && stop_requested(signal_fd, settings)) return;
    if ((fds[0].revents & POLLIN) != 0) accept_waiting(listener, queue);
  }
}

// Whether every worker ended by deadline.
bool workers_ended(Pool& pool, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(pool.mutex);
  return pool.finished.wait_until(lock, deadline, [&pool] { return pool.running == 0; });
}

// The stop: sessions told, waiting connections refused, the ones in flight
// given the drain limit, then ended.
void drain(Pool& pool, const ServerSettings& settings) {
  pool.drain.requested = true;
  for (const UniqueFd& fd : pool.queue.close()) {
    (void)!send(fd.get(), kShuttingDown, strlen(kShuttingDown), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  if (pool.active.wait_empty(std::chrono::steady_clock::now() + settings.drain_limit)) return;
  log_message(LOG_WARNING, "WARN/SYS sessions still running at the end of the stop: ended");
  pool.drain.immediate = true;
  if (pool.active.wait_empty(std::chrono::steady_clock::now() + kSessionGrace)) return;
  pool.active.abort_all(kShuttingDown);
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

void run_server(UniqueFd listener, UniqueFd signal_fd, const ServerSettings& settings,
                const HandlerFactory& make_handler) {
  const int flags = fcntl(listener.get(), F_GETFL);
  fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK);
  // Workers left behind at the end of a stop still use it: the process
  // then ends without destroying it.
  const std::unique_ptr<Pool> shared = std::make_unique<Pool>();
  Pool& pool = *shared;
  pool.running = settings.workers;
  std::vector<std::thread> workers;
  for (int i = 0; i < settings.workers; ++i) {
    workers.emplace_back(worker_main, std::ref(pool), std::cref(make_handler));
  }
  accept_until_stopped(listener.get(), signal_fd.get(), settings, pool.queue);
  log_message(LOG_INFO, "INFO/SYS stopping");
  listener.reset();
  drain(pool, settings);
  if (!workers_ended(pool, std::chrono::steady_clock::now() + kWorkerGrace)) {
    log_message(LOG_WARNING, "WARN/SYS workers still busy at the end of the stop: left");
    log_close();
    _exit(0);
  }
  for (std::thread& worker : workers) worker.join();
}
