// orvelt: answers one incoming mail message from standard input with the
// vacation texts that the directory holds for its receivers.
#include "config/config.h"
#include "main/cmdline.h"
#include "util/log.h"

int main(int argc, char** argv) {
  install_no_memory_handler();
  Options options = read_options(argc, argv);
  log_open();
  config_read_file(options.config_path);
  return 0;
}
