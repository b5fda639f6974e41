// Test access to the recording MTA stand-in (recording_mta.c): a program
// that writes down the arguments and the standard input of every call into
// a directory, so that tests can see exactly what orvelt handed to its MTA.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

// What one run of the recording MTA was given.
struct MtaCall {
  std::vector<std::string> argv;  // argv[0] included
  std::string stdin_text;         // all of standard input; empty if not read
  std::string sigpipe;            // "default", "ignored" or "handled", plus ",blocked"
  std::vector<int> open_fds;      // descriptors above 2 open when it started
};

// How the recording MTA behaves after it has recorded its arguments.
struct MtaBehaviour {
  int exit_status = 0;
  bool read_input = true;  // false: exits without reading standard input
};

// A fresh record directory, announced to the recording MTA through this
// process's environment (ORVELT_TEST_MTA_DIR and the behaviour switches),
// which every child inherits. The environment is cleared again when the
// object goes; only one may be alive at a time.
class RecordingMta {
 public:
  explicit RecordingMta(MtaBehaviour behaviour = {});
  ~RecordingMta();
  RecordingMta(const RecordingMta&) = delete;
  RecordingMta& operator=(const RecordingMta&) = delete;

  // The built stand-in's path.
  static std::string program();
  // The names of the variables it reads, blank-separated, for an mta_env
  // line: the MTA gets no other variables of the program's environment.
  static std::string env_names();
  const std::string& dir() const { return dir_.path(); }
  // The same settings as NAME=value entries, for ProgramRun::env.
  std::vector<std::string> env() const;
  // The recorded calls, in call-number order.
  std::vector<MtaCall> calls() const;

 private:
  TempDir dir_;
  MtaBehaviour behaviour_;
};

// The calls recorded in dir: 1.*, 2.*, ... up to the first missing number.
std::vector<MtaCall> read_mta_calls(const std::string& dir);

// A stand-in MTA as a shell script that first starts a child of its own in
// the background (a long sleep, its output to /dev/null), writes down that
// child's pid, and then runs the shell lines given. The child is killed
// when the object goes, if it still runs.
class ForkingMta {
 public:
  explicit ForkingMta(const std::string& then);
  ~ForkingMta();
  ForkingMta(const ForkingMta&) = delete;
  ForkingMta& operator=(const ForkingMta&) = delete;

  // The script's path, to be run as the MTA.
  const std::string& program() const { return program_; }
  // The background child's pid; 0 until the script has written it.
  pid_t child() const;
  // True when the background child has ended, waiting up to five seconds
  // for it. A zombie counts as ended: an orphan waits for a reaper that may
  // be slow, or missing in a container.
  bool child_ends() const;

 private:
  TempDir dir_;
  std::string program_;
};
