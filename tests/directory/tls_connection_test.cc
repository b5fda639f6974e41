// The directory connection over StartTLS and ldaps, and what bounds the
// time a directory that stops answering can cost, against a real slapd.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <latch>
#include <set>
#include <sstream>
#include <thread>

#include "directory/connection.h"
#include "directory/directory_config.h"
#include "directory/ldap_library.h"
#include "directory/lookup.h"
#include "mail/mail_state.h"
#include "support/log_capture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// The configuration for server in mode, trusting the server's authority
// unless ca_file says otherwise, bound as kBindDn.
void configure_tls(const SlapdServer& server, DirectoryTls mode, const OptionalText& ca_file) {
  configure_for(server);
  g_config.tls = mode;
  if (mode == DirectoryTls::kLdaps) g_config.port = server.ldaps_port();
  g_config.tls_cacert = ca_file;
  g_config.login = kBindDn;
  g_config.password = kBindPassword;
}

struct TlsBindCase {
  const char* name;
  DirectoryTls mode;
  int protocol;
  bool allow_bind_v2;
  std::vector<SlapdBind> binds;
};

TEST(DirectoryConnectTls, BindsOverTheEncryptedConnection) {
  const TlsBindCase cases[] = {
      {"starttls, protocol unconfigured: one bind at v3",
       DirectoryTls::kStartTls,
       0,
       true,
       {{3, kBindDn, 0, true}}},
      {"starttls, protocol 3", DirectoryTls::kStartTls, 3, false, {{3, kBindDn, 0, true}}},
      {"starttls, protocol 2 as configured",
       DirectoryTls::kStartTls,
       2,
       true,
       {{2, kBindDn, 0, true}}},
      {"ldaps, protocol unconfigured: the fallback sequence",
       DirectoryTls::kLdaps,
       0,
       false,
       {{2, kBindDn, LDAP_PROTOCOL_ERROR, true}, {3, kBindDn, 0, true}}},
      {"ldaps, protocol unconfigured, v2 accepted",
       DirectoryTls::kLdaps,
       0,
       true,
       {{2, kBindDn, 0, true}}},
      {"ldaps, protocol 3", DirectoryTls::kLdaps, 3, false, {{3, kBindDn, 0, true}}},
      {"none: plain on the same server",
       DirectoryTls::kNone,
       0,
       false,
       {{2, kBindDn, LDAP_PROTOCOL_ERROR, false}, {3, kBindDn, 0, false}}},
  };
  for (const TlsBindCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlapdServer server(
        SlapdOptions().tls().allow_bind_v2(c.allow_bind_v2).user(kBindDn, kBindPassword));
    configure_tls(server, c.mode, server.ca_file());
    g_config.protocol = c.protocol;
    expect_connects_with_binds(server, c.binds);
  }
}

TEST(DirectoryConnectTls, LdapsTriesTheHostsOfServerInOrder) {
  SlapdServer server(SlapdOptions().tls().user(kBindDn, kBindPassword));
  // Nothing listens on the plain port with ldaps; the second host has the
  // configured (ldaps) port, the first names its own.
  configure_tls(server, DirectoryTls::kLdaps, server.ca_file());
  g_config.server = "127.0.0.1:" + std::to_string(server.port()) + ", 127.0.0.1";
  g_config.protocol = 3;
  expect_connects_with_binds(server, {{3, kBindDn, 0, true}});
}

struct RefusedCase {
  const char* name;
  bool server_tls;  // the server offers TLS at all
  DirectoryTls mode;
  bool plain_port;      // ldaps aimed at the plain port
  bool other_ca;        // trust only the authority that signed nothing
  bool no_cacert;       // no tls_cacert: the library's own authorities
  const char* message;  // stderr echo of the log record
};

// Every way the TLS set-up can fail ends the run before any bind, so the
// password never leaves in clear.
TEST(DirectoryConnectTlsDeathTest, FailedTlsSetUpEndsTheRunBeforeAnyBind) {
  const RefusedCase cases[] = {
      {"starttls, certificate from another authority", true, DirectoryTls::kStartTls, false, true,
       false, "^3\\|CRIT/LDAP Connect error\norvelt: CRIT/LDAP Connect error\n$"},
      {"ldaps, certificate from another authority", true, DirectoryTls::kLdaps, false, true, false,
       "^3\\|CRIT/LDAP Can't contact LDAP server\n"
       "orvelt: CRIT/LDAP Can't contact LDAP server\n$"},
      {"ldaps, the library's authorities do not know the server's", true, DirectoryTls::kLdaps,
       false, false, true,
       "^3\\|CRIT/LDAP Can't contact LDAP server\n"
       "orvelt: CRIT/LDAP Can't contact LDAP server\n$"},
      {"starttls, server without TLS", false, DirectoryTls::kStartTls, false, false, false,
       "^3\\|CRIT/LDAP Protocol error\norvelt: CRIT/LDAP Protocol error\n$"},
      {"ldaps on a port that speaks plain LDAP", true, DirectoryTls::kLdaps, true, false, false,
       "^3\\|CRIT/LDAP Can't contact LDAP server\norvelt: CRIT/LDAP Can't contact LDAP server\n$"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlapdServer server(SlapdOptions().tls(c.server_tls).user(kBindDn, kBindPassword));
    OptionalText ca_file = c.other_ca ? server.other_ca_file() : server.ca_file();
    if (c.no_cacert || !c.server_tls) ca_file.reset();
    configure_tls(server, c.mode, ca_file);
    if (c.plain_port) g_config.port = server.port();
    LogCapture capture;
    const size_t mark = server.log_mark();
    EXPECT_EXIT(end_run_unless_ok(directory_connect()), testing::ExitedWithCode(1), c.message);
    EXPECT_TRUE(server.binds_since(mark).empty());
  }
}

// The authorities are the session's own: nothing is set for the process,
// so a session that trusted the right authority leaves nothing behind that
// a later one, trusting another, could lean on.
TEST(DirectoryConnectTlsDeathTest, TrustedAuthoritiesBelongToTheSessionOnly) {
  SlapdServer server(SlapdOptions().tls().user(kBindDn, kBindPassword));
  char* global_ca_before = nullptr;
  ldap_get_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, &global_ca_before);
  int global_require_before = -1;
  ldap_get_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &global_require_before);

  LogCapture capture;
  for (const DirectoryTls mode : {DirectoryTls::kStartTls, DirectoryTls::kLdaps}) {
    configure_tls(server, mode, server.ca_file());
    EXPECT_TRUE(directory_connect().ok());  // bound, and unbound again as the session goes
    configure_tls(server, mode, server.other_ca_file());
    EXPECT_EXIT(end_run_unless_ok(directory_connect()), testing::ExitedWithCode(1), "CRIT/LDAP ");
  }

  char* global_ca_after = nullptr;
  ldap_get_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, &global_ca_after);
  int global_require_after = -1;
  ldap_get_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &global_require_after);
  EXPECT_EQ(global_ca_after == nullptr ? "" : std::string(global_ca_after),
            global_ca_before == nullptr ? "" : std::string(global_ca_before));
  EXPECT_EQ(global_require_after, global_require_before);
  ldap_memfree(global_ca_before);
  ldap_memfree(global_ca_after);
}

struct UnusableSettingsCase {
  const char* name;
  DirectoryTls mode;
  std::string server;
  OptionalText ca_file;
  const char* message;  // stderr echo of the log record
};

// Settings that cannot work end the run before any connection is made.
TEST(DirectoryConnectTlsDeathTest, UnusableSettingsEndTheRun) {
  SlapdServer server(SlapdOptions().tls());
  const UnusableSettingsCase cases[] = {
      {"unreadable tls_cacert", DirectoryTls::kStartTls, "127.0.0.1", "/nonexistent/ca.pem",
       "^3\\|CRIT/LDAP Cannot set up TLS with tls_cacert /nonexistent/ca.pem\n"
       "orvelt: CRIT/LDAP Cannot set up TLS with tls_cacert /nonexistent/ca.pem\n$"},
      {"ldaps, a host list that makes no URL", DirectoryTls::kLdaps, "127.0.0.1:abc",
       server.ca_file(),
       "^3\\|CRIT/LDAP Connection failed\n"
       "orvelt: CRIT/LDAP Connection failed\n$"},
      {"ldaps, no host at all", DirectoryTls::kLdaps, " , ", server.ca_file(),
       "^3\\|CRIT/LDAP Connection failed\norvelt: CRIT/LDAP Connection failed\n$"},
  };
  for (const UnusableSettingsCase& c : cases) {
    SCOPED_TRACE(c.name);
    configure_tls(server, c.mode, c.ca_file);
    g_config.server = c.server;
    LogCapture capture;
    const size_t mark = server.log_mark();
    EXPECT_EXIT(end_run_unless_ok(connect_ignoring_library_leaks()), testing::ExitedWithCode(1),
                c.message);
    EXPECT_EQ(server.log_since(mark).find(" ACCEPT "), std::string::npos);
  }
}

// A referral to the server's plain port under another name (so that the
// library cannot reuse the session's connection), below the search base: a
// subtree search meets it and gets a search reference back.
std::string plain_referral(const SlapdServer& server) {
  return "dn: ou=elsewhere,dc=example,dc=org\nobjectClass: referral\n"
         "objectClass: extensibleObject\nou: elsewhere\nref: ldap://localhost:" +
         std::to_string(server.port()) + "/ou=people,dc=example,dc=org\n\n";
}

// How many connections have a line with marker in slapd's log from mark
// on, once every connection accepted since then has closed.
size_t connections_with(const SlapdServer& server, size_t mark, const std::string& marker) {
  server.binds_since(mark);  // waits until the connections have closed
  std::istringstream log(server.log_since(mark));
  std::set<std::string> connections;
  std::string line;
  while (std::getline(log, line)) {
    const size_t conn = line.find(" conn=");
    if (conn == std::string::npos || line.find(marker) == std::string::npos) continue;
    connections.insert(line.substr(conn, line.find(' ', conn + 1) - conn));
  }
  return connections.size();
}

// connections_with, read again until it gives expected or 5 seconds have
// passed: slapd may log the ACCEPT of a connection that the client closed
// at once (the refused second one) only after the others have closed.
size_t connections_reaching(const SlapdServer& server, size_t mark, const std::string& marker,
                            size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  size_t found = connections_with(server, mark, marker);
  while (found < expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    found = connections_with(server, mark, marker);
  }
  return found;
}

// A session talks to the server it chose and to no other: it does not
// follow referrals, and should the library open a connection of its own all
// the same (here, made to chase one), an encrypted session refuses a second
// connection after StartTLS and any but an ldaps one with ldaps. The search
// reference left in the result makes it incomplete: the entry found beside
// it is not used.
TEST(DirectoryConnectTls, EncryptedSessionSearchesNowhereElse) {
  SlapdServer server(SlapdOptions().tls().entries(
      ldif_people_unit() + ldif_person("local", "local.user@site", "TRUE", {"away\n"})));
  server.add(plain_referral(server));
  MailState mail;
  mail.sender = "box@host";
  LogCapture capture;
  struct Case {
    DirectoryTls mode;
    bool force_chasing;
    size_t new_connections;        // besides the session's own
    size_t searching_connections;  // the session's own included
  } cases[] = {
      {DirectoryTls::kNone, false, 0, 1},
      {DirectoryTls::kStartTls, false, 0, 1},
      {DirectoryTls::kLdaps, false, 0, 1},
      // The second connection is made, and closed before anything is sent.
      {DirectoryTls::kStartTls, true, 1, 1},
      {DirectoryTls::kLdaps, true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.mode)) + (c.force_chasing ? " chasing" : ""));
    configure_tls(server, c.mode, server.ca_file());
    g_config.login.reset();
    g_config.password.reset();
    g_config.protocol = 3;
    // Marked before the connect: slapd may log the session's own ACCEPT
    // only after directory_connect has returned.
    const size_t mark = server.log_mark();
    size_t texts = 0;
    {
      DirectorySession session = connected();
      if (c.force_chasing) {
        // Any non-null value switches chasing on (LDAP_OPT_ON would name a
        // variable of liblber, which the program does not link).
        static const int on = 1;
        ldap_set_option(session.handle(), LDAP_OPT_REFERRALS, &on);
      }
      for (const DirectoryEntry& entry :
           all_entries(directory_lookup(session, "local.user@site", mail.sender))) {
        texts += entry.text ? 1 : 0;
      }
    }
    EXPECT_EQ(texts, 0u);
    const std::vector<LogRecord> warned{
        {LOG_ERR, "WARN/LDAP Referral for (&(mail=local.user@site)(vacationActive=TRUE))"}};
    EXPECT_EQ(capture.records(), warned);
    capture.clear();
    EXPECT_EQ(connections_reaching(server, mark, " ACCEPT from ", c.new_connections + 1),
              c.new_connections + 1);
    EXPECT_EQ(connections_reaching(server, mark, " SRCH base=", c.searching_connections),
              c.searching_connections);
  }
}

// The bind requests that slapd read from mark on, once the connections
// since then have closed (a few seconds at most).
size_t bind_requests_since(const SlapdServer& server, size_t mark) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string log = server.log_since(mark);
  while (log.find(" closed") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    log = server.log_since(mark);
  }
  // slapd logs every request that it reads, also one that it then holds
  // back behind a bind in progress: "op tag 0x60" is a bind.
  size_t binds = 0;
  for (size_t at = log.find(" op tag 0x60,"); at != std::string::npos;
       at = log.find(" op tag 0x60,", at + 1)) {
    ++binds;
  }
  return binds;
}

struct HangingCase {
  const char* name;
  DirectoryTls mode;
};

// A server that accepts connections and then answers nothing (stopped with
// SIGSTOP) costs one wait of 10 seconds: the connect goes through, the
// first request or handshake times out, and the run ends as after a failed
// bind. The bind sequence of an unconfigured protocol stops at the first
// time-out instead of trying again.
TEST(DirectoryConnectDeathTest, ServerThatStopsAnsweringEndsTheRun) {
  const HangingCase cases[] = {
      {"plain, protocol unconfigured: the v2 bind times out", DirectoryTls::kNone},
      {"starttls: the StartTLS request times out", DirectoryTls::kStartTls},
      {"ldaps: the TLS handshake times out", DirectoryTls::kLdaps},
  };
  for (const HangingCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlapdServer server(SlapdOptions().tls().user(kBindDn, kBindPassword));
    configure_tls(server, c.mode, server.ca_file());
    LogCapture capture;
    const size_t mark = server.log_mark();
    server.stop();
    // The library reports the silent server as a time-out; on a heavily
    // loaded machine it has been seen to give up on the connection instead.
    EXPECT_EXIT(end_run_unless_ok(directory_connect()), testing::ExitedWithCode(1),
                "^3\\|CRIT/LDAP (Timed out|Can't contact LDAP server)\n"
                "orvelt: CRIT/LDAP (Timed out|Can't contact LDAP server)\n$");
    server.cont();
    // The requests that the stopped server finds waiting once it runs
    // again: at most the one bind, none after the time-out.
    EXPECT_LE(bind_requests_since(server, mark), 1u);
  }
}

// orveltd's workers open their sessions at the same moment (the first
// messages after a start, or after a directory outage): each thread's
// encrypted session gets its own TLS context, none fails for another's.
TEST(DirectoryConnectTls, SessionsOpenedByThreadsAtOnceEachSetUpTls) {
  SlapdServer server(SlapdOptions().tls().user(kBindDn, kBindPassword));
  ASSERT_TRUE(ldap_library_open().ok());  // as orveltd does before its workers start
  constexpr int kThreads = 8;
  for (const DirectoryTls mode : {DirectoryTls::kStartTls, DirectoryTls::kLdaps}) {
    for (int round = 0; round < 3; ++round) {
      std::vector<std::string> failures(kThreads);
      std::latch start(kThreads);
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
          configure_tls(server, mode, server.ca_file());  // this thread's g_config
          start.arrive_and_wait();
          Result<DirectorySession> session = directory_connect();
          if (!session.ok()) failures[i] = session.failure().reason;
        });
      }
      for (std::thread& thread : threads) thread.join();
      for (const std::string& failure : failures) EXPECT_EQ(failure, "") << "round " << round;
    }
  }
}

}  // namespace
