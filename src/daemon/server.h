// orveltd's main loop: the main thread accepts connections, serves the
// command phase of every connection in one poll loop and handles the
// signals; a fixed pool of worker threads serves the transactions, each
// from its DATA to its replies.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "lmtp/lmtp.h"
#include "util/unique_fd.h"

// Tells the sessions that the server stops. Once requested is set, a
// session ends outside a transaction; once immediate is set (the drain
// limit passed), it ends at its next command whatever it was doing, and a
// DATA section being read ends without replies.
struct DrainSignal {
  std::atomic<bool> requested{false};
  std::atomic<bool> immediate{false};
};

// Made once in each worker thread, at its start (so that the handler
// belongs to the thread: its configuration copy, its connections): what
// the worker does with each transaction handed to it. drain lives as long
// as the server.
using HandlerFactory = std::function<std::unique_ptr<LmtpHandler>(const DrainSignal& drain)>;

struct ServerSettings {
  int workers = 1;
  // How long a stop waits for the transactions in flight before it cuts
  // them short.
  std::chrono::milliseconds drain_limit{30000};
  // Called in the main thread on SIGHUP.
  std::function<void()> reload;
  // Called in the main thread when the drain limit passed with work left,
  // and again every 100 ms until the workers are done or their connections
  // shut down: ends what the workers wait for (orveltd: the MTAs).
  std::function<void()> cut_short;
};

// Blocks SIGHUP, SIGTERM and SIGINT in the calling thread (the workers
// inherit the mask, so that only the main thread takes them) and returns a
// signalfd for them. Call before any other thread starts.
UniqueFd block_server_signals();

// Makes a failed operator new end the process through exit_no_memory in
// the main thread (the calling one); in a worker it is thrown as
// std::bad_alloc, which ends the worker's transaction and has the main
// loop end the process the same way.
void install_server_no_memory_handler();

// What a stop came to.
struct ServerEnd {
  // Transactions were still in flight at the end of the drain limit: they
  // were cut short (or workers were left behind).
  bool cut_short = false;
};

// Runs the server on listener with the signals of signal_fd
// (block_server_signals) until SIGTERM or SIGINT. Each connection is
// greeted at once and its commands answered in the main thread (the
// lmtp_timeout of the main thread's configuration, read for each new
// connection, and lmtp_data_timeout for its DATA sections); at an accepted
// DATA the transaction goes to a worker, and back when it is answered. On
// a TCP listener a remote address may hold lmtp_peer_limit connections at
// once (0: any number); one more gets "421 4.7.0 too many connections from
// <address>" and is closed.
//
// The stop ("INFO/SYS stopping") ends accepting, ends the connections
// outside a transaction with "421 4.3.2 shutting down" and lets the
// transactions in flight finish for up to drain_limit. Then ("WARN/SYS
// sessions still running at the end of the stop: ended") it tells the
// ones left to end at once, calls cut_short, ends the connections in the
// command phase with that 421 and, a moment later, writes it to those the
// workers still hold and shuts them down. Returns when every worker has
// ended; when one is still busy a few seconds after that (a call that does
// not return), it logs "WARN/SYS workers still busy at the end of the
// stop: left" and returns without it.
ServerEnd run_server(UniqueFd listener, UniqueFd signal_fd, const ServerSettings& settings,
                     const HandlerFactory& make_handler);
