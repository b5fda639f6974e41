#include "directory/connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>

#include "directory/directory_config.h"
#include "support/log_capture.h"
#include "util/unique_fd.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// A loopback port that refuses connections: bound, so nobody else gets it,
// but not listening.
class RefusingPort {
 public:
  RefusingPort() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot reserve a port");
    }
    port_ = ntohs(address.sin_port);
  }
  int port() const { return port_; }

 private:
  UniqueFd socket_;
  int port_ = 0;
};

struct BindCase {
  const char* name;
  bool allow_bind_v2;
  int protocol;
  bool with_login;
  std::vector<SlapdBind> binds;
};

TEST(DirectoryConnect, BindsAtTheConfiguredOrFirstAcceptedVersion) {
  const BindCase cases[] = {
      {"unconfigured, v2 accepted: one bind at v2", true, 0, false, {{2, "", 0}}},
      {"unconfigured, v2 refused: v2 fails, v3 succeeds",
       false,
       0,
       false,
       {{2, "", LDAP_PROTOCOL_ERROR}, {3, "", 0}}},
      {"unconfigured, with credentials",
       false,
       0,
       true,
       {{2, kBindDn, LDAP_PROTOCOL_ERROR}, {3, kBindDn, 0}}},
      {"protocol 3: one bind at v3", true, 3, true, {{3, kBindDn, 0}}},
      {"protocol 2: one bind at v2", true, 2, false, {{2, "", 0}}},
  };
  for (const BindCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlapdServer server(SlapdOptions().allow_bind_v2(c.allow_bind_v2).user(kBindDn, kBindPassword));
    configure_for(server);
    g_config.protocol = c.protocol;
    if (c.with_login) {
      g_config.login = kBindDn;
      g_config.password = kBindPassword;
    }
    expect_connects_with_binds(server, c.binds);
  }
}

struct FailedBindCase {
  const char* name;
  int protocol;
  std::string password;
  std::vector<SlapdBind> binds;
  const char* message;  // stderr echo of the log record
};

TEST(DirectoryConnectDeathTest, FailedLastBindEndsTheRun) {
  const FailedBindCase cases[] = {
      {"unconfigured, wrong password: v2, v3, v3; the last one's text",
       0,
       "wrong",
       {{2, kBindDn, LDAP_PROTOCOL_ERROR},
        {3, kBindDn, LDAP_INVALID_CREDENTIALS},
        {3, kBindDn, LDAP_INVALID_CREDENTIALS}},
       "3\\|CRIT/LDAP Invalid credentials\norvelt: CRIT/LDAP Invalid credentials\n"},
      {"protocol 3, wrong password: one attempt",
       3,
       "wrong",
       {{3, kBindDn, LDAP_INVALID_CREDENTIALS}},
       "3\\|CRIT/LDAP Invalid credentials\norvelt: CRIT/LDAP Invalid credentials\n"},
      {"protocol 2 on a server that refuses v2: one attempt",
       2,
       kBindPassword,
       {{2, kBindDn, LDAP_PROTOCOL_ERROR}},
       "3\\|CRIT/LDAP Protocol error\n"
       "orvelt: CRIT/LDAP Protocol error\n"},
  };
  for (const FailedBindCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlapdServer server(SlapdOptions().user(kBindDn, kBindPassword));
    configure_for(server);
    g_config.protocol = c.protocol;
    g_config.login = kBindDn;
    g_config.password = c.password;
    LogCapture capture;
    const size_t mark = server.log_mark();
    EXPECT_EXIT(end_run_unless_ok(directory_connect()), testing::ExitedWithCode(1), c.message);
    EXPECT_EQ(server.binds_since(mark), c.binds);
  }
}

TEST(DirectoryConnectDeathTest, UnreachableOrUnusableServerEndsTheRun) {
  const RefusingPort refusing;
  LogCapture capture;
  config_set_defaults();
  g_config.server = "127.0.0.1";
  g_config.port = refusing.port();
  EXPECT_EXIT(end_run_unless_ok(directory_connect()), testing::ExitedWithCode(1),
              "^3\\|CRIT/LDAP Can't contact LDAP server\n"
              "orvelt: CRIT/LDAP Can't contact LDAP server\n$");
  // A host list the library cannot parse gives no handle at all.
  g_config.server = "localhost:abc";
  EXPECT_EXIT(end_run_unless_ok(connect_ignoring_library_leaks()), testing::ExitedWithCode(1),
              "^3\\|CRIT/LDAP Connection failed\norvelt: CRIT/LDAP Connection failed\n$");
}

TEST(DirectoryConnect, HandsBackItsFailureWithoutLoggingIt) {
  const RefusingPort refusing;
  config_set_defaults();
  g_config.server = "127.0.0.1";
  g_config.port = refusing.port();
  LogCapture capture;
  // Twice: the second attempt of the same process fails as the first did.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Result<DirectorySession> session = directory_connect();
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.failure().priority, LOG_ERR);
    EXPECT_EQ(session.failure().reason, "CRIT/LDAP Can't contact LDAP server");
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST(DirectoryConnect, FallsBackToTheNextHostOfServer) {
  SlapdServer server(SlapdOptions().allow_bind_v2());
  const RefusingPort refusing;
  configure_for(server);
  // The first host has a port of its own; the second uses g_config.port.
  g_config.server = "127.0.0.1:" + std::to_string(refusing.port()) + " 127.0.0.1";
  expect_connects_with_binds(server, {{2, "", 0}});
}

// The number of unbind requests in text, a part of the server's log.
size_t unbinds_in(const std::string& text) {
  size_t count = 0;
  for (size_t at = text.find(" UNBIND\n"); at != std::string::npos;
       at = text.find(" UNBIND\n", at + 1)) {
    ++count;
  }
  return count;
}

TEST(DirectorySession, UnbindsOnceWhenItsLastOwnerGoes) {
  SlapdServer server;
  configure_for(server);
  g_config.protocol = 3;
  const size_t mark = server.log_mark();
  { const DirectorySession session = connected(); }
  server.binds_since(mark);  // waits until the connection has closed
  EXPECT_EQ(unbinds_in(server.log_since(mark)), 1u);

  // Moving hands the session over: the one left behind holds nothing and
  // ends nothing.
  const size_t third = server.log_mark();
  {
    DirectorySession first = connected();
    const DirectorySession second_owner = std::move(first);
    EXPECT_EQ(first.handle(), nullptr);
    EXPECT_NE(second_owner.handle(), nullptr);
  }
  server.binds_since(third);
  EXPECT_EQ(unbinds_in(server.log_since(third)), 1u);

  // Moving into a session that holds one unbinds that one: one unbind each.
  const size_t fourth = server.log_mark();
  {
    DirectorySession kept = connected();
    kept = connected();
    EXPECT_NE(kept.handle(), nullptr);
  }
  server.binds_since(fourth);
  EXPECT_EQ(unbinds_in(server.log_since(fourth)), 2u);
}

}  // namespace
