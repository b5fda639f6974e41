// The command line: the configuration file, the forced receivers and sender.
#pragma once

#include "util/strings.h"

// What the command line says.
struct Options {
  const char* config_path;  // the last -c argument, or the default path
  // The -a addresses, normalised, in command-line order. An address is left
  // out when it is empty, equals an entry already there (the raw argument
  // compared with the normalised entries, ASCII case ignored) or normalises
  // to nothing.
  StringList forced_receivers;
  OptionalText forced_sender;  // the last -s address, normalised
  // The last -s held no address: the MTA passes the null envelope sender of
  // a bounce that way ("-s ''" or "-s '<>'"). Intake declines such a message
  // under rfc3834; otherwise it is as if no -s had been given.
  bool null_sender_forced = false;
  // -h was given: the caller prints the usage text and ends the run. Options
  // after it are not read.
  bool usage_requested = false;
  // -t was given: the caller tests the configuration file (config_test in
  // config/config_check.h) and ends the run with its status.
  bool test_requested = false;
};

// Reads the options "hc:a:s:t" with getopt. Unknown options and missing
// arguments are ignored (getopt's own diagnostic stays on); -h stops the
// reading and sets usage_requested.
Options read_options(int argc, char** argv);

// Writes the usage text to standard output.
void print_usage();
