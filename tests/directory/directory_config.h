// Configuration shared by the directory tests.
#pragma once

#include "config/config.h"
#include "support/slapd_server.h"

// Defaults, pointed at server's directory, with the search attribute list
// completed as reading a configuration file completes it.
inline void configure_for(const SlapdServer& server) {
  config_set_defaults();
  g_config.server = "127.0.0.1";
  g_config.port = server.port();
  g_config.base = SlapdServer::kSuffix;
  g_config.map_field_attributes.push_back(g_config.result);
}
