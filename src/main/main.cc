// orvelt: answers one incoming mail message from standard input with the
// vacation texts that the directory holds for its receivers.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <string>

#include "config/config.h"
#include "config/config_check.h"
#include "mail/intake.h"
#include "main/cmdline.h"
#include "reply/reply_loop.h"
#include "store/block_store_open.h"
#include "util/byte_source.h"
#include "util/log.h"
#include "util/outcome.h"
#include "util/standard_descriptors.h"
#include "util/stop_signal.h"
#include "util/strings.h"

namespace {

// Warns when the mta line has the MTA take the recipients from the reply's
// header (-t) but no header file is set: the reply would then name no
// recipient unless the directory text itself starts with its header.
void warn_about_header_recipients() {
  if (g_config.forceheader) return;
  for (const std::string& word : tokenize(g_config.mta + " " + g_config.mta_args, -1, ' ')) {
    if (word == "-t") {
      log_message(LOG_WARNING,
                  "WARN/CFG the mta line reads recipients from the header (-t) but no "
                  "forceheader is set");
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  open_missing_standard_descriptors();
  install_no_memory_handler();
  // A peer that goes away (a directory server closing its connection, an
  // MTA that ends early) must make a write fail, not kill the run with
  // SIGPIPE: the failure then takes the path every other failure takes.
  // The MTA child starts with the default disposition again.
  signal(SIGPIPE, SIG_IGN);
  // The MTA's exit status is read with waitpid: a SIGCHLD ignored by
  // whoever started orvelt would have the children reaped unseen.
  signal(SIGCHLD, SIG_DFL);
  // SIGTERM, SIGINT and SIGHUP wait while a reply is claimed and not yet
  // settled; otherwise they end the run as they always did.
  stop_signals_install();
  Options options = read_options(argc, argv);
  if (options.usage_requested) {
    print_usage();
    return 0;
  }
  if (options.test_requested) return config_test(options.config_path, stderr);
  log_open();
  config_read_file(options.config_path);
  log_set_fatal_status(g_config.failstatus);
  warn_about_header_recipients();
  // A message that must not be answered ends the run here: the directory is
  // never contacted.
  FdByteSource input(STDIN_FILENO);
  const MailState mail = mail_intake(input, options.forced_receivers, options.forced_sender,
                                     options.null_sender_forced);
  // A noreply_header pattern that does not compile: the site's setting
  // cannot work, and the message waits for it to be fixed.
  if (!mail.failure.ok()) end_run(mail.failure);
  if (!mail_is_answered(mail)) return 0;
  // Opening the store does no I/O: a message that no entry matches never
  // touches it. The directory session is closed by the time run_replies
  // returns, before the log closes.
  const std::unique_ptr<BlockStore> store = block_store_open(g_config);
  const Outcome outcome = run_replies(mail, *store);
  if (!outcome.ok()) end_run(outcome);
  log_close();
  return 0;
}
