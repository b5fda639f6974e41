// The command line: options, forced receivers and sender, the usage text.
#pragma once

#include "util/strings.h"

// Receivers given with -a, normalised, in command-line order.
extern StringList forced_receivers;

// What the options leave behind besides the forced receivers.
struct Options {
  const char* config_path;   // the last -c argument, or the default path
  OptionalText forced_sender;  // the last -s address, normalised
  // The last -s held no address: the MTA passes the null envelope sender of
  // a bounce that way ("-s ''" or "-s '<>'"). Intake declines such a message
  // under rfc3834; otherwise it is as if no -s had been given.
  bool null_sender_forced = false;
};

// Reads the options "hc:a:s:" with getopt. Unknown options and missing
// arguments are ignored (getopt's own diagnostic stays on); -h prints the
// usage text and exits 0.
Options read_options(int argc, char** argv);

// Appends one -a address to forced_receivers unless it is empty, equals an
// entry already there (the raw argument compared with the normalised
// entries, ASCII case ignored) or normalises to nothing.
void add_forced_receiver(const char* address);

// Prints the usage text to standard output and exits 0.
[[noreturn]] void print_usage();
