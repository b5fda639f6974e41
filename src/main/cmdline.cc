#include "main/cmdline.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>

#include "config/config.h"
#include "util/address.h"

namespace {

constexpr const char* kVersion = ORVELT_VERSION;  // project(VERSION) in CMakeLists.txt

}  // namespace

void print_usage() {
  printf(
      "\nORVELT(v%s) - Quenmarrow\n\n  Read email through stdin, reply to it, if nescessary\n  "
      "Options:\n\n  \t-h\t\tprint help\n  \t-a <address>\tforce receiver address\n  \t-s "
      "<address>\tforce sender address\n  \t-c <cfgfile>\tuse configfile (default: %s)\n  "
      "\t-t\t\ttest the configfile: print its problems, exit 1 if any\n  \n",
      kVersion, kDefaultConfigPath);
}

namespace {

// Appends one -a address to receivers (see Options::forced_receivers).
void add_forced_receiver(StringList& receivers, const char* address) {
  if (address == nullptr || *address == '\0') return;
  for (const std::string& entry : receivers) {
    if (equals_ignore_case(address, entry)) return;
  }
  OptionalText slot = std::string(address);
  normalize_address(slot);
  if (slot) receivers.push_back(std::move(*slot));
}

}  // namespace

Options read_options(int argc, char** argv) {
  Options options{kDefaultConfigPath, {}, std::nullopt};
  int option;
  // The leading '+' makes glibc stop at the first operand, as POSIX getopt
  // does, instead of permuting the command line.
  while ((option = getopt(argc, argv, "+hc:a:s:t")) != -1) {
    switch (option) {
      case 'a':
        add_forced_receiver(options.forced_receivers, optarg);
        break;
      case 'c':
        options.config_path = optarg;
        break;
      case 'h':
        options.usage_requested = true;
        return options;
      case 't':
        options.test_requested = true;
        break;
      case 's':
        options.forced_sender = std::string(optarg);
        normalize_address(options.forced_sender);
        options.null_sender_forced = !options.forced_sender;
        break;
      default:
        break;  // unknown option or missing argument: getopt has said so
    }
  }
  return options;
}
