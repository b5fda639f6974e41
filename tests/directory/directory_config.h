// Configuration and checks shared by the directory tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "config/config.h"
#include "directory/connection.h"
#include "directory/lookup.h"
#include "support/log_capture.h"
#include "support/slapd_server.h"
#include "util/log.h"

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

// What the program does with a failed step: ends the run with its failure
// (log line, stderr line, fatal status). One that succeeded exits 0, which
// a death test expecting the failure then reports.
template <typename T>
[[noreturn]] void end_run_unless_ok(const Result<T>& result) {
  if (!result.ok()) end_run(result.failure());
  std::_Exit(0);
}

// A session bound with the configuration as it is; a failure to connect
// fails the test.
inline DirectorySession connected() {
  Result<DirectorySession> session = directory_connect();
  if (!session.ok()) throw std::runtime_error("no session: " + session.failure().reason);
  return std::move(*session);
}

// The entries of a lookup that must not fail, read to the end.
inline std::vector<DirectoryEntry> all_entries(Result<DirectoryEntries> entries) {
  if (!entries.ok()) throw std::runtime_error("lookup failed: " + entries.failure().reason);
  std::vector<DirectoryEntry> all;
  for (;;) {
    Result<std::optional<DirectoryEntry>> entry = entries->next();
    if (!entry.ok()) throw std::runtime_error("reading entries failed: " + entry.failure().reason);
    if (!*entry) return all;
    all.push_back(std::move(**entry));
  }
}

// directory_connect, with allocations made inside it not counted as leaks:
// libldap loses its copy of a host list that it cannot parse.
inline Result<DirectorySession> connect_ignoring_library_leaks() {
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
    const DirectorySession session = connected();
    EXPECT_NE(session.handle(), nullptr);
  }  // unbound as the session goes
  EXPECT_EQ(server.binds_since(mark), binds);
  EXPECT_TRUE(capture.records().empty());
}
