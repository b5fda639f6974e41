// Runs the built program (or another) as a child, the way an MTA would, and
// collects what it did: exit status, output and the syslog messages.
#pragma once

#include <string>
#include <vector>

#include "support/log_capture.h"

struct ProgramRun {
  std::vector<std::string> args;  // argv[1..]
  std::string stdin_text;         // written to a file fed as stdin
  std::string stdin_path;         // used instead of stdin_text when set
  bool close_stdin = false;       // start with descriptor 0 closed instead
  std::vector<std::string> env;   // extra NAME=value entries, replacing inherited ones
  unsigned time_limit = 0;        // seconds until the program gets SIGALRM; 0: none
  std::string program = ORVELT_BINARY;
};

struct ProgramResult {
  bool exited = false;  // ended by exit, not by a signal
  int exit_status = -1;
  int signal = 0;
  // The largest resident size of the program (or of a child it waited for),
  // in KiB, as wait4 tells it.
  long peak_rss_kib = 0;
  std::string out;
  std::string err;
  std::vector<LogRecord> log;           // syslog messages, in order
  std::vector<std::string> log_events;  // every captured line (open/log/close)
};

// Runs the program with the syslog preload library and waits for it.
ProgramResult run_program(const ProgramRun& run);

// Convenience: orvelt with a configuration file and a message.
ProgramResult run_orvelt(const std::vector<std::string>& args, const std::string& message);
