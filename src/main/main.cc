// orvelt: answers one incoming mail message from standard input with the
// vacation texts that the directory holds for its receivers.
#include <unistd.h>

#include <csignal>

#include "config/config.h"
#include "mail/intake.h"
#include "main/cmdline.h"
#include "main/reply_loop.h"
#include "util/log.h"

int main(int argc, char** argv) {
  install_no_memory_handler();
  // A peer that goes away (a directory server closing its connection, an
  // MTA that ends early) must make a write fail, not kill the run with
  // SIGPIPE: the failure then takes the path every other failure takes.
  // The MTA child starts with the default disposition again.
  signal(SIGPIPE, SIG_IGN);
  Options options = read_options(argc, argv);
  log_open();
  config_read_file(options.config_path);
  // A message that must not be answered ends the run here: the directory is
  // never contacted.
  const MailState mail = mail_intake(STDIN_FILENO, options.forced_receivers,
                                     options.forced_sender, options.null_sender_forced);
  if (!mail_is_answered(mail)) return 0;
  run_replies(mail);
  return 0;
}
