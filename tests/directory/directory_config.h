// Configuration and checks shared by the directory tests.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "config/config.h"
#include "directory/connection.h"
#include "support/log_capture.h"
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

// Connects with the configuration as it is and disconnects again: expects a
// session, exactly binds as server saw them, and nothing logged.
inline void expect_connects_with_binds(const SlapdServer& server,
                                       const std::vector<SlapdBind>& binds) {
  LogCapture capture;
  const size_t mark = server.log_mark();
  {
    const DirectorySession session = directory_connect();
    EXPECT_NE(session.handle(), nullptr);
  }  // unbound as the session goes
  EXPECT_EQ(server.binds_since(mark), binds);
  EXPECT_TRUE(capture.records().empty());
}
