// orveltd's directives, the listening address they name, and what a
// transaction shows outside: its reply lines and its id.
#include <gtest/gtest.h>

#include <syslog.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "config/config.h"
#include "daemon/listen_address.h"
#include "daemon/transaction.h"
#include "support/log_capture.h"
#include "util/c_owners.h"

namespace {

// Reads text as the whole configuration file.
void read_config(const std::string& text) {
  const OwnedFile file(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  ASSERT_TRUE(file);
  ASSERT_TRUE(config_read_stream(file.get()));
}

TEST(DaemonConfig, Defaults) {
  read_config("");
  EXPECT_EQ(g_config.lmtp_listen, "unix:/run/orvelt/lmtp");
  EXPECT_EQ(g_config.lmtp_socket_mode, 0660);
  EXPECT_EQ(g_config.lmtp_workers, 8);
  EXPECT_EQ(g_config.lmtp_timeout, 300);
  EXPECT_EQ(g_config.lmtp_data_timeout, 600);
}

TEST(DaemonConfig, DirectiveValues) {
  struct Case {
    const char* line;
    int Config::*field;
    int expected;                  // what the field holds afterwards
    const char* warned = nullptr;  // the WARN/CFG line of a value refused
  };
  const Case cases[] = {
      {"lmtp_socket_mode 0600", &Config::lmtp_socket_mode, 0600},
      {"lmtp_socket_mode 666", &Config::lmtp_socket_mode, 0666},
      {"LMTP_SOCKET_MODE 4770", &Config::lmtp_socket_mode, 0770},  // permission bits only
      {"lmtp_workers 1", &Config::lmtp_workers, 1},
      {"lmtp_workers 256", &Config::lmtp_workers, 256},
      {"lmtp_workers 257", &Config::lmtp_workers, 8,
       "WARN/CFG lmtp_workers: \"257\" is not a number from 1 to 256"},
      {"lmtp_workers 0", &Config::lmtp_workers, 8,
       "WARN/CFG lmtp_workers: \"0\" is not a number from 1 to 256"},
      {"lmtp_workers -3", &Config::lmtp_workers, 8,
       "WARN/CFG lmtp_workers: \"-3\" is not a number from 1 to 256"},
      {"lmtp_timeout 1", &Config::lmtp_timeout, 1},
      {"lmtp_timeout 86400", &Config::lmtp_timeout, 86400},
      {"lmtp_timeout 86401", &Config::lmtp_timeout, 300,
       "WARN/CFG lmtp_timeout: \"86401\" is not a number from 1 to 86400"},
      {"lmtp_timeout 0", &Config::lmtp_timeout, 300,
       "WARN/CFG lmtp_timeout: \"0\" is not a number from 1 to 86400"},
      {"lmtp_data_timeout 30", &Config::lmtp_data_timeout, 30},
      {"lmtp_data_timeout 99999999999", &Config::lmtp_data_timeout, 600,
       "WARN/CFG lmtp_data_timeout: \"99999999999\" is not a number from 1 to 86400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    LogCapture capture;
    read_config(std::string(c.line) + "\n");
    EXPECT_EQ(g_config.*c.field, c.expected);
    if (c.warned == nullptr) {
      EXPECT_TRUE(capture.records().empty());
    } else {
      EXPECT_EQ(capture.records(), (std::vector<LogRecord>{{LOG_WARNING, c.warned}}));
    }
  }
  read_config("lmtp_listen   inet:[::1]:24  \n");
  EXPECT_EQ(g_config.lmtp_listen, "inet:[::1]:24");
}

TEST(ListenAddress, Parsing) {
  struct Case {
    const char* text;
    ListenAddress::Kind kind;
    const char* path;
    const char* host;
    const char* port;
  };
  const Case good[] = {
      {"unix:/run/orvelt/lmtp", ListenAddress::kUnix, "/run/orvelt/lmtp", "", ""},
      {"UNIX:relative/sock", ListenAddress::kUnix, "relative/sock", "", ""},
      {"inet:127.0.0.1:24", ListenAddress::kInet, "", "127.0.0.1", "24"},
      {"inet:localhost:lmtp", ListenAddress::kInet, "", "localhost", "lmtp"},
      {"inet:[::1]:2424", ListenAddress::kInet, "", "::1", "2424"},
      {"Inet:[fe80::1%lo]:24", ListenAddress::kInet, "", "fe80::1%lo", "24"},
  };
  for (const Case& c : good) {
    SCOPED_TRACE(c.text);
    const Result<ListenAddress> address = parse_listen_address(c.text);
    ASSERT_TRUE(address.ok()) << address.failure().reason;
    EXPECT_EQ(address->kind, c.kind);
    EXPECT_EQ(address->path, c.path);
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
  }
  EXPECT_EQ(describe(*parse_listen_address("inet:[::1]:24")), "inet:[::1]:24");
  EXPECT_EQ(describe(*parse_listen_address("unix:/x")), "unix:/x");

  const std::string too_long = "unix:/" + std::string(107, 'x');
  for (const std::string& bad :
       std::vector<std::string>{"", "/run/orvelt/lmtp", "unix:", "inet:", "inet:host",
                                "inet:host:", "inet::24", "inet:::1:24", "inet:[::1]24",
                                "inet:[::1:24", "inet:[]:24", "tcp:1.2.3.4:24", too_long}) {
    SCOPED_TRACE(bad);
    const Result<ListenAddress> address = parse_listen_address(bad);
    ASSERT_FALSE(address.ok());
    EXPECT_EQ(address.failure().kind, Outcome::kConfigError);
    EXPECT_EQ(address.failure().reason.rfind("CRIT/CFG lmtp_listen " + bad + ": ", 0), 0u)
        << address.failure().reason;
  }
  // A value with control bytes cannot split the log line that names it.
  EXPECT_EQ(parse_listen_address("bad\nvalue").failure().reason.find('\n'), std::string::npos);
}

TEST(Transaction, ReplyLines) {
  EXPECT_EQ(lmtp_reply_line(Outcome::done()), "250 2.0.0 ok");
  EXPECT_EQ(lmtp_reply_line(Outcome::retry(LOG_ERR, "CRIT/LDAP Timed out")),
            "451 4.3.0 CRIT/LDAP Timed out");
  EXPECT_EQ(lmtp_reply_line(Outcome::config_error(LOG_ERR, "CRIT/LDAP Invalid credentials")),
            "451 4.3.0 CRIT/LDAP Invalid credentials");
  // Text from a message (an address in the reason) cannot end the reply
  // line early, start another, or carry bytes a client may refuse.
  EXPECT_EQ(lmtp_reply_line(Outcome::retry(LOG_ERR, "WARN/MAIL reply to a\r\n250 x\x7f\xc3\xa9")),
            "451 4.3.0 WARN/MAIL reply to a??250 x???");
  const std::string line = lmtp_reply_line(Outcome::retry(LOG_ERR, std::string(5000, 'x')));
  EXPECT_LE(line.size() + 2, 512u);
}

TEST(Transaction, IdsAreSixHexDigitsAndDiffer) {
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = new_transaction_id();
    EXPECT_EQ(id.size(), 6u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 1000u);
}

}  // namespace
