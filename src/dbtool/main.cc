// orvelt-db: prepares orvelt's bad-header and blacklist databases and shows
// and purges its block files, and rebuilds damaged databases. See
// orvelt-db(8).
#include <cstdio>
#include <string>
#include <vector>

#include "config/config.h"
#include "dbtool/db_commands.h"
#include "util/log.h"
#include "util/strings.h"

namespace {

// The tool is run by hand: whatever the shared code would log (running out
// of memory) goes to the terminal, not to the mail log.
void log_to_stderr(int, const char* text) { fprintf(stderr, "orvelt-db: %s\n", text); }

}  // namespace

int main(int argc, char** argv) {
  install_no_memory_handler();
  log_set_sink(log_to_stderr);
  config_set_defaults();
  const std::vector<std::string> args(argv + 1, argv + argc);
  int status = run_db_tool(args, DbStreams{stdin, stdout, stderr});
  // Output that did not arrive (a full disk) must not pass for success.
  if (fflush(stdout) != 0 || ferror(stdout)) {
    perror("orvelt-db: standard output");
    status = kDbFailed;
  }
  return status;
}
