#include "util/stop_signal.h"

#include <atomic>
#include <csignal>

namespace {

// Atomic rather than volatile: orveltd's worker threads open and close
// claim windows at once (it installs no handler, so nobody reads them
// there). A lock-free atomic is as safe in a signal handler.
std::atomic<sig_atomic_t> g_in_window = 0;
std::atomic<sig_atomic_t> g_received = 0;
static_assert(std::atomic<sig_atomic_t>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Only async-signal-safe calls here. Outside a window the default action
// is put back and the signal raised again: it is blocked while this
// handler runs, and ends the process as soon as the handler returns.
void on_stop_signal(int signal_number) {
  if (g_in_window != 0) {
    g_received = signal_number;
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal_number, &fallback, nullptr);
  raise(signal_number);
}

}  // namespace

void stop_signals_install() {
  for (const int signal_number : kStopSignals) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction handler {};
    handler.sa_handler = on_stop_signal;
    sigemptyset(&handler.sa_mask);
    // No SA_RESTART: a wait for the MTA must return to look at the signal.
    handler.sa_flags = 0;
    sigaction(signal_number, &handler, nullptr);
  }
}

int stop_signal_received() { return g_received; }

void stop_signal_note(int signal_number) { g_received = signal_number; }

std::string stop_signal_text(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
      return "stopped by SIGTERM";
    case SIGINT:
      return "stopped by SIGINT";
    case SIGHUP:
      return "stopped by SIGHUP";
    default:
      return "stopped by signal " + std::to_string(signal_number);
  }
}

StopSignalWindow::StopSignalWindow() { g_in_window = 1; }

StopSignalWindow::~StopSignalWindow() { g_in_window = 0; }
