// orveltd's main loop: the main thread accepts connections and handles
// the signals; a fixed pool of worker threads serves the connections.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "util/unique_fd.h"

// Tells the sessions that the server stops. Once requested is set, a
// session ends outside a transaction at its next command; once immediate
// is set (the drain limit passed), it ends at its next command whatever it
// was doing.
struct DrainSignal {
  std::atomic<bool> requested{false};
  std::atomic<bool> immediate{false};
};

// What a worker does with one accepted connection.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  // Serves the connected socket fd until its session ends; the caller
  // closes fd. Reports failures to the client and the log, never by
  // ending the process.
  virtual void serve(int fd, const DrainSignal& drain) = 0;
};

// Made once in each worker thread, at its start (so that the handler
// belongs to the thread: its configuration copy, its connections).
using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>()>;

struct ServerSettings {
  int workers = 1;
  // How long a stop waits for the sessions in flight before it ends them
  // with "421 4.3.2 shutting down".
  std::chrono::milliseconds drain_limit{30000};
  // Called in the main thread on SIGHUP.
  std::function<void()> reload;
};

// Blocks SIGHUP, SIGTERM and SIGINT in the calling thread (the workers
// inherit the mask, so that only the main thread takes them) and returns a
// signalfd for them. Call before any other thread starts.
UniqueFd block_server_signals();

// Runs the server on listener with the signals of signal_fd
// (block_server_signals) until SIGTERM or SIGINT: then it stops accepting
// (connections accepted but not yet served get "421 4.3.2 shutting down"),
// lets the sessions in flight finish for up to drain_limit, then tells the
// ones left to end at once and, a moment later, writes that 421 to those
// still open and shuts them down. Returns when every worker has ended;
// when one is still busy a few seconds after that (a call that does not
// return), the process ends with status 0 without it. Logs "INFO/SYS
// stopping" when the stop begins.
void run_server(UniqueFd listener, UniqueFd signal_fd, const ServerSettings& settings,
                const HandlerFactory& make_handler);
