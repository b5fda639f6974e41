// orvelt-db's command line taken apart, and the run every command reports
// to: its streams and its exit status.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "dbtool/db_commands.h"
#include "dbtool/key_lines.h"

// The options a command may take.
enum Option : unsigned {
  kReplace = 1u << 0,
  kAddress = 1u << 1,
  kMode = 1u << 2,
  kDryRun = 1u << 3,
  kOlderThan = 1u << 4,
  kConfig = 1u << 5,
};

// One command line, taken apart.
struct Invocation {
  std::string command;
  std::vector<std::string> operands;
  unsigned given = 0;  // Option bits
  std::string mode;
  std::string older_than;
  std::string config;
};

// The streams and the exit status of one run.
class Run {
 public:
  explicit Run(const DbStreams& streams) : streams_(streams) {}

  FILE* in() const { return streams_.in; }
  FILE* out() const { return streams_.out; }
  FILE* err() const { return streams_.err; }

  // "orvelt-db: <message>" on the error stream.
  void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    fputs("orvelt-db: ", streams_.err);
    vfprintf(streams_.err, format, args);
    fputc('\n', streams_.err);
    va_end(args);
  }

  // Worsens the exit status; it never gets better again.
  void mark(int status) { status_ = std::max(status_, status); }
  int status() const { return status_; }

 private:
  DbStreams streams_;
  int status_ = kDbDone;
};

// A path as it appears in messages.
std::string shown(const std::string& path);

// "1 key", "2 keys".
std::string count_of(size_t n, const char* noun);

// Separates options from operands of args (args[0] is the command);
// options may stand anywhere, "--" ends them. Gives false, after a message,
// for an option that is unknown, not taken by this command (allowed), or
// missing its value.
bool parse_arguments(Run& run, const std::vector<std::string>& args, unsigned allowed,
                     Invocation& inv);

// A whole number of hours from 0 up to what still fits in seconds.
std::optional<int64_t> parse_hours(const std::string& text);

// A file mode in octal, at most 0777.
std::optional<int> parse_mode(const std::string& text);

// How the keys of the command become keys: --address or not.
KeyKind kind_of(const Invocation& inv);
