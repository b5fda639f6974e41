// A long-running server (orveltd) started as a child for one test, with the
// syslog preload library recording its log, stopped (SIGKILL) and reaped
// when the object goes if it still runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

struct DaemonStart {
  std::string program;
  std::vector<std::string> args;  // argv[1..]
  std::vector<std::string> env;   // extra NAME=value entries, replacing inherited ones
  // When valid: handed over as descriptor 3 with LISTEN_FDS=1 and
  // LISTEN_PID=<the child's pid>, as systemd's socket activation does.
  int listen_fd = -1;
  // LISTEN_FDS's value with listen_fd (systemd passes more sockets that
  // way; only descriptor 3 is set up here).
  std::string listen_fds = "1";
};

class DaemonProcess {
 public:
  explicit DaemonProcess(const DaemonStart& start);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // The exit status once the process has ended (128 + the signal's number
  // when a signal ended it), waiting up to timeout; none while it runs.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // What it logged so far, in order.
  std::vector<LogRecord> log() const;
  // Waits up to timeout for a logged line holding text; true when there is
  // one.
  bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) const;
  // What it wrote to standard error so far.
  std::string err() const;

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Waits up to timeout for a server to accept connections on the unix
// socket at path; true when one did.
bool wait_listening(const std::string& path, std::chrono::milliseconds timeout);
