// Configuration shared by the directory tests.
#pragma once

#include "config/config.h"
#include "directory/connection.h"
#include "support/slapd_server.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Defaults, pointed at server's directory, with the search attribute list
// completed as reading a configuration file completes it.
inline void configure_for(const SlapdServer& server) {
  config_set_defaults();
  g_config.server = "127.0.0.1";
  g_config.port = server.port();
  g_config.base = SlapdServer::kSuffix;
  g_config.map_field_attributes.push_back(g_config.result);
}

// directory_connect, with allocations made inside it not counted as leaks:
// libldap loses its copy of a host list that it cannot parse.
inline DirectorySession connect_ignoring_library_leaks() {
#if defined(__SANITIZE_ADDRESS__)
  const __lsan::ScopedDisabler disabler;
#endif
  return directory_connect();
}
