#include "web/web_main.h"

#include <httplib.h>
#include <signal.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "config/config.h"
#include "config/config_check.h"
#include "config/config_snapshot.h"
#include "directory/ldap_library.h"
#include "main/cmdline.h"
#include "util/log.h"
#include "util/standard_descriptors.h"
#include "util/strings.h"
#include "web/guarded_server.h"
#include "web/web_server.h"

namespace {

void print_web_usage() {
  printf(
      "usage: orvelt-web [-h] [-t] [-c CONFIG]\n"
      "  web page where people set their own out-of-office reply\n"
      "  -c CONFIG  configuration file (default: %s)\n"
      "  -t         test the configuration file: print its problems, exit 1 if any\n",
      kDefaultConfigPath);
}

// SIGTERM, SIGINT and SIGHUP, blocked in every thread from the start: the
// main thread waits for them, the server's threads never see them, and one
// that comes while the server starts waits instead of ending the process.
sigset_t block_server_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void read_configuration(const char* path) {
  if (const std::optional<std::string> reason = config_read_path(path)) {
    log_fatal(LOG_ERR, "CRIT/IO %s: %s", path, reason->c_str());
  }
  log_set_fatal_status(g_config.failstatus);
  config_publish();
}

// Waits for SIGTERM or SIGINT, reloading the configuration at each SIGHUP.
void serve_signals(const sigset_t& signals, const char* config_path, WebApp& app) {
  for (;;) {
    int number = 0;
    if (sigwait(&signals, &number) != 0) continue;
    if (number != SIGHUP) return;
    if (config_reload(config_path)) app.configuration_reloaded();
  }
}

}  // namespace

int web_main(int argc, char** argv) {
  open_missing_standard_descriptors();
  install_no_memory_handler();
  signal(SIGPIPE, SIG_IGN);
  const Options options = read_options(argc, argv);
  if (options.usage_requested) {
    print_web_usage();
    return 0;
  }
  if (options.test_requested) return config_test(options.config_path, stderr);
  const sigset_t signals = block_server_signals();
  log_open();
  log_warn_if_root();
  read_configuration(options.config_path);
  const Result<ListenAt> at = parse_web_listen(g_config.web_listen);
  if (!at.ok()) end_run(at.failure());
  ldap_library_prepare_for_threads();
  GuardedServer server;
  WebApp app;
  app.install(server);
  if (!server.bind_and_listen(at->host, at->port)) {
    end_run(Outcome::config_error(
        LOG_ERR, "CRIT/IO web_listen " + log_safe(g_config.web_listen) + ": " + strerror(errno)));
  }
  log_message(LOG_INFO, "INFO/SYS listening on %s", log_safe(g_config.web_listen).c_str());
  std::thread serving([&server] {
    try {
      server.listen_after_bind();
    } catch (const std::bad_alloc&) {
      report_no_memory();
    }
  });
  serve_signals(signals, options.config_path, app);
  server.stop();
  serving.join();
  // A thread that ran out of memory stopped the server; the run ends here.
  if (no_memory_reported()) exit_no_memory();
  log_message(LOG_INFO, "INFO/SYS stopped");
  log_close();
  return 0;
}
