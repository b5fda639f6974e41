#include "web/web_main.h"

#include <httplib.h>
#include <signal.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/config_check.h"
#include "config/config_snapshot.h"
#include "directory/ldap_library.h"
#include "main/cmdline.h"
#include "util/log.h"
#include "util/standard_descriptors.h"
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

// SIGTERM and SIGINT, blocked in every thread: the main thread waits for
// them, the server's threads never see them.
sigset_t block_stop_signals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  return stops;
}

void read_configuration(const char* path) {
  if (const std::optional<std::string> reason = config_read_path(path)) {
    log_fatal(LOG_ERR, "CRIT/IO %s: %s", path, reason->c_str());
  }
  log_set_fatal_status(g_config.failstatus);
  config_publish();
}

void wait_for_stop(const sigset_t& stops) {
  int number = 0;
  while (sigwait(&stops, &number) != 0) {
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
  const sigset_t stops = block_stop_signals();
  log_open();
  log_warn_if_root();
  read_configuration(options.config_path);
  const Result<ListenAt> at = parse_web_listen(g_config.web_listen);
  if (!at.ok()) end_run(at.failure());
  ldap_library_prepare_for_threads();
  httplib::Server server;
  WebApp app;
  app.install(server);
  if (!server.bind_to_port(at->host.c_str(), at->port)) {
    end_run(Outcome::config_error(
        LOG_ERR, "CRIT/IO web_listen " + log_safe(g_config.web_listen) + ": " + strerror(errno)));
  }
  log_message(LOG_INFO, "INFO/SYS listening on %s", log_safe(g_config.web_listen).c_str());
  std::thread serving([&server] { server.listen_after_bind(); });
  wait_for_stop(stops);
  server.stop();
  serving.join();
  log_message(LOG_INFO, "INFO/SYS stopped");
  log_close();
  return 0;
}
