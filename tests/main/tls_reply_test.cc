// The whole program against a directory reached over StartTLS or ldaps:
// the built binary answers a message through the recording MTA, or refuses
// a server it cannot verify before anything leaves in clear.
#include <gtest/gtest.h>
#include <ldap.h>
#include <sys/stat.h>
#include <syslog.h>

#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

const std::string kMessage =
    "From: Some Name <Box@Host>\nTo: Local.User@Site\nSubject: Lunch on Friday?\n\nAre you free?\n";
const std::string kReply =
    "To: box@host\nSubject: Re: Lunch on Friday?\n\nlocal.user@site is away.\n";

std::string test_directory() {
  return ldif_people_unit() +
         ldif_person("local", "local.user@site", "TRUE",
                     {"To: $sender\nSubject: Re: $subject\n\n$recepient is away.\n"});
}

class TlsReplyTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  // Runs orvelt on kMessage with the directory at port of 127.0.0.1 and
  // the directives of extra (tls, tls_cacert, protocol ...), and env added
  // to its environment.
  ProgramResult run(int port, const std::string& extra,
                    const std::vector<std::string>& env = {}) const {
    const std::string config = TestConfig(server_, blockdir_)
                                   .set("port", std::to_string(port))
                                   .remove("protocol")
                                   .set("login", kBindDn)
                                   .set("password", kBindPassword)
                                   .set("blockexpire", "0")
                                   .set("mta", RecordingMta::program() + " $sender")
                                   .add(extra)
                                   .write(dir_);
    ProgramRun run;
    run.args = {"-c", config};
    run.stdin_text = kMessage;
    run.env = env;
    return run_program(run);
  }

  static std::vector<std::string> crit_messages(const ProgramResult& r) {
    std::vector<std::string> texts;
    for (const LogRecord& record : r.log) {
      if (record.text.rfind("CRIT/", 0) == 0) {
        texts.push_back(std::to_string(record.priority) + " " + record.text);
      }
    }
    return texts;
  }

  SlapdServer server_{SlapdOptions().tls().user(kBindDn, kBindPassword).entries(test_directory())};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

struct AnsweredCase {
  const char* name;
  bool ldaps;
  std::string extra_config;
  std::vector<SlapdBind> binds;
  bool ca_from_library;  // the CA reaches libldap through its own variable
};

TEST_F(TlsReplyTest, EncryptedDirectoryAnswersTheMessage) {
  const AnsweredCase cases[] = {
      {"starttls, protocol unconfigured: one bind at v3 over TLS",
       false,
       "tls starttls\n",
       {{3, kBindDn, 0, true}},
       false},
      {"ldaps, protocol unconfigured: v2 refused, v3 accepted, both over TLS",
       true,
       "tls ldaps\n",
       {{2, kBindDn, LDAP_PROTOCOL_ERROR, true}, {3, kBindDn, 0, true}},
       false},
      {"ldaps, protocol 3", true, "tls ldaps\nprotocol 3\n", {{3, kBindDn, 0, true}}, false},
      {"starttls without tls_cacert: the library's own CA setting applies",
       false,
       "tls starttls\nprotocol 3\n",
       {{3, kBindDn, 0, true}},
       true},
      {"tls none: plain as ever",
       false,
       "tls none\n",
       {{2, kBindDn, LDAP_PROTOCOL_ERROR, false}, {3, kBindDn, 0, false}},
       false},
  };
  for (const AnsweredCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const size_t mark = server_.log_mark();
    std::string extra = c.extra_config;
    std::vector<std::string> env;
    if (c.ca_from_library) {
      env.push_back("LDAPTLS_CACERT=" + server_.ca_file());
    } else {
      extra += "tls_cacert " + server_.ca_file() + "\n";
    }
    const ProgramResult r = run(c.ldaps ? server_.ldaps_port() : server_.port(), extra, env);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(crit_messages(r).empty());
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, kReply);
    EXPECT_EQ(server_.binds_since(mark), c.binds);
  }
}

struct RefusedCase {
  const char* name;
  bool ldaps;
  std::string extra_config;  // "<ca>" and "<other-ca>" stand for the files
  std::vector<std::string> env;
  std::string message;
};

// A server that cannot be verified ends the run with status 1 before any
// bind: the password and the directory's texts never travel in clear.
TEST_F(TlsReplyTest, UnverifiedServerEndsTheRunBeforeAnyBind) {
  const RefusedCase cases[] = {
      {"starttls, certificate from another authority",
       false,
       "tls starttls\ntls_cacert <other-ca>\n",
       {},
       "CRIT/LDAP Connect error"},
      {"ldaps, certificate from another authority",
       true,
       "tls ldaps\ntls_cacert <other-ca>\n",
       {},
       "CRIT/LDAP Can't contact LDAP server"},
      {"the library told not to check certificates: checked all the same",
       false,
       "tls starttls\ntls_cacert <other-ca>\n",
       {"LDAPTLS_REQCERT=never"},
       "CRIT/LDAP Connect error"},
      {"tls_cacert takes the place of the library's CA setting",
       true,
       "tls ldaps\ntls_cacert <other-ca>\n",
       {"LDAPTLS_CACERT=<ca>"},
       "CRIT/LDAP Can't contact LDAP server"},
  };
  const auto fill = [this](std::string text) {
    for (const auto& [name, file] : {std::pair<std::string, std::string>{"<ca>", server_.ca_file()},
                                     {"<other-ca>", server_.other_ca_file()}}) {
      for (size_t at = text.find(name); at != std::string::npos; at = text.find(name)) {
        text.replace(at, name.size(), file);
      }
    }
    return text;
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingMta mta;
    const size_t mark = server_.log_mark();
    std::vector<std::string> env;
    for (const std::string& e : c.env) env.push_back(fill(e));
    const ProgramResult r =
        run(c.ldaps ? server_.ldaps_port() : server_.port(), fill(c.extra_config), env);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(crit_messages(r), std::vector<std::string>{"3 " + c.message});
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(server_.binds_since(mark).empty());
  }
}

TEST_F(TlsReplyTest, StartTlsAgainstAServerWithoutTlsFailsClosed) {
  const SlapdServer plain(SlapdOptions().user(kBindDn, kBindPassword).entries(test_directory()));
  RecordingMta mta;
  const size_t mark = plain.log_mark();
  const ProgramResult r = run(plain.port(), "tls starttls\ntls_cacert " + server_.ca_file() + "\n");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(crit_messages(r), std::vector<std::string>{"3 CRIT/LDAP Protocol error"});
  EXPECT_TRUE(mta.calls().empty());
  EXPECT_TRUE(plain.binds_since(mark).empty());
}

}  // namespace
