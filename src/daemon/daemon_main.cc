#include "daemon/daemon_main.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "config/config.h"
#include "config/config_check.h"
#include "config/config_snapshot.h"
#include "daemon/listen_address.h"
#include "daemon/listener.h"
#include "daemon/mta_stop.h"
#include "directory/ldap_library.h"
#include "main/cmdline.h"
#include "util/log.h"
#include "util/outcome.h"
#include "util/standard_descriptors.h"
#include "util/strings.h"

namespace {

void print_daemon_usage() {
  printf(
      "usage: orveltd [-h] [-t] [-c CONFIG]\n  LMTP server answering mail as orvelt does\n"
      "  -c CONFIG  configuration file (default: %s)\n"
      "  -t         test the configuration file: print its problems, exit 1 if any\n",
      kDefaultConfigPath);
}

// The socket systemd handed over, or the one lmtp_listen names.
Result<UniqueFd> open_listener() {
  Result<UniqueFd> handed_over = take_systemd_socket();
  if (!handed_over.ok() || handed_over->valid()) return handed_over;
  const Result<ListenAddress> address = parse_listen_address(g_config.lmtp_listen);
  if (!address.ok()) return address.failure();
  Result<UniqueFd> listener = listen_on(*address, g_config.lmtp_socket_mode);
  if (listener.ok()) {
    log_message(LOG_INFO, "INFO/SYS listening on %s", log_safe(describe(*address)).c_str());
  }
  return listener;
}

}  // namespace

int daemon_main(int argc, char** argv, const HandlerFactory& make_handler) {
  open_missing_standard_descriptors();
  install_server_no_memory_handler();
  // A client or an MTA that goes away makes a write fail, not the server
  // die; the MTA child starts with the default disposition again.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  const Options options = read_options(argc, argv);
  if (options.usage_requested) {
    print_daemon_usage();
    return 0;
  }
  if (options.test_requested) return config_test(options.config_path, stderr);
  // Blocked from the start: a SIGHUP or SIGTERM that comes while the server
  // starts waits for the main loop instead of killing the process.
  UniqueFd signals = block_server_signals();
  log_open();
  log_warn_if_root();
  if (const std::optional<std::string> reason = config_read_path(options.config_path)) {
    log_fatal(LOG_ERR, "CRIT/IO %s: %s", options.config_path, reason->c_str());
  }
  log_set_fatal_status(g_config.failstatus);
  Result<UniqueFd> listener = open_listener();
  if (!listener.ok()) end_run(listener.failure());
  config_publish();
  ServerSettings settings;
  settings.workers = g_config.lmtp_workers;
  const char* path = options.config_path;
  settings.reload = [path] { config_reload(path); };
  settings.cut_short = stop_running_mtas;
  ldap_library_prepare_for_threads();
  const ServerEnd end = run_server(std::move(*listener), std::move(signals), settings,
                                   [&make_handler](const DrainSignal& drain) {
                                     config_adopt_published();
                                     return make_handler(drain);
                                   });
  log_message(LOG_INFO, "INFO/SYS stopped");
  log_close();
  return end.cut_short ? g_config.failstatus : 0;
}
