// A person's own vacation settings against a real slapd: finding the entry
// of a login, checking its password, reading and writing the vacation
// attributes, and the session bound as the web account.
#include "directory/account.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "directory/directory_config.h"
#include "support/log_capture.h"
#include "support/redis_server.h"
#include "support/slapd_server.h"

namespace {

const std::string kAdminDn = "cn=admin,dc=example,dc=org";
const std::string kAdminPassword = "admin";

std::string person_dn(const std::string& uid) {
  return "uid=" + uid + ",ou=people,dc=example,dc=org";
}

// A person with a password; with the vacation object class unless
// with_class is false (then only inetOrgPerson's attributes), and any
// further attribute lines in more.
std::string person(const std::string& uid, const std::vector<std::string>& mails,
                   const std::string& more = "", bool with_class = true) {
  std::string ldif = "dn: " + person_dn(uid) + "\nobjectClass: inetOrgPerson\n";
  if (with_class) ldif += "objectClass: orveltVacation\n";
  ldif += "uid: " + uid + "\ncn: " + uid + " Doe\nsn: Doe\nuserPassword: " + uid + "-pw\n";
  ldif += "description: " + uid + "'s own description\n";
  for (const std::string& mail : mails) ldif += ldif_line("mail", mail);
  return ldif + more + "\n";
}

const std::string kOdd = "o(d)d\\one*@example.org";

// Everyone the tests look for, log in as, read and write. The w* entries
// are each written by one case of the write test alone.
std::string directory_entries() {
  return ldif_people_unit() +
         person("jane", {"jane@example.org", "j.doe@example.org"},
                "vacationActive: TRUE\nvacationInfo: Away\nvacationInfo: Second text\n"
                "vacationInfoInternal: Away (internal)\nvacationStart: 20240101000000Z\n"
                "vacationEnd: 20240201000000Z\nvacationInterval: 12\n") +
         person("plain", {"plain@example.org"}, "", false) + person("twin1", {"twin@example.org"}) +
         person("twin2", {"twin@example.org"}) + person("odd", {kOdd}) +
         // No password at all.
         "dn: uid=nopw,ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\nuid: nopw\n"
         "cn: nopw\nsn: nopw\nmail: nopw@example.org\n\n" +
         person("w1", {"w1@example.org"},
                "vacationActive: FALSE\nvacationInfo: old one\nvacationInfo: old two\n"
                "vacationInterval: 6\n") +
         person("w2", {"w2@example.org"},
                "vacationActive: TRUE\nvacationInfo: keep me\nvacationInfoInternal: keep too\n"
                "vacationStart: 20240101000000Z\nvacationEnd: 20240201000000Z\n") +
         person("w3", {"w3@example.org"}, "vacationInfo: dateless\n") +
         person("w4", {"w4@example.org"}, "", false) +
         person("w5", {"w5@example.org"},
                "vacationActive: TRUE\nvacationInfo: t\nvacationInfoInternal: i\n"
                "vacationInterval: 12\n") +
         person("w6", {"w6@example.org"}, "vacationInfo: in vacationInfo\n") +
         person("w7", {"w7@example.org"}) +
         person("w8", {"w8@example.org"},
                "vacationInfo: t\nvacationInfoInternal: stays\nvacationInterval: 3\n") +
         person("w9", {"w9@example.org"},
                "vacationActive: TRUE\nvacationInfo: mine\nvacationInfoInternal: ours\n"
                "vacationStart: 20261201000000+0100\nvacationInterval: 12\n") +
         person("fail", {"fail@example.org"}, "", false);
}

// Standard base64, as ldapsearch writes a value that cannot stand as it is.
std::string base64_decoded(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) continue;  // '=' and anything else
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((group >> bits) & 0xff));
    }
  }
  return bytes;
}

// Every attribute of an entry with its values, attribute names in lower case.
using Attributes = std::map<std::string, std::multiset<std::string>>;

// The user attributes of the entry at dn as the administrator reads them,
// without the help of the code under test.
Attributes stored_attributes(const SlapdServer& server, const std::string& dn) {
  const std::string command = "ldapsearch -x -LLL -o ldif-wrap=no -H '" + server.url() + "' -D '" +
                              kAdminDn + "' -w '" + kAdminPassword + "' -b '" + dn +
                              "' -s base '(objectClass=*)' '*' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run ldapsearch");
  std::string output;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  if (pclose(pipe) != 0) throw std::runtime_error("ldapsearch failed: " + output);
  Attributes attributes;
  size_t start = 0;
  while (start < output.size()) {
    const size_t end = std::min(output.find('\n', start), output.size());
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = ascii_lower(c);
    if (name == "dn") continue;
    const bool encoded = line.compare(colon, 2, "::") == 0;
    std::string value = line.substr(colon + (encoded ? 2 : 1));
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    attributes[name].insert(encoded ? base64_decoded(value) : value);
  }
  return attributes;
}

// attributes without those named (lower case).
Attributes without(Attributes attributes, const std::set<std::string>& names) {
  for (const std::string& name : names) attributes.erase(name);
  return attributes;
}

class Account : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<SlapdServer>(SlapdOptions().entries(directory_entries()));
  }
  static void TearDownTestSuite() { server_.reset(); }

  // The directory, the web account, and every attribute the page reads.
  void SetUp() override {
    configure_for(*server_);
    g_config.web_binddn = kAdminDn;
    g_config.web_bindpw = kAdminPassword;
    g_config.internal_result = "vacationInfoInternal";
    g_config.internal_domains = {"example.org"};
    g_config.blockexpire_attribute = "vacationInterval";
    g_config.map_field_placeholders = {"$name"};
    g_config.map_field_attributes = {"cn", g_config.result};
    g_config.map_date_placeholders = {"$until"};
    g_config.map_date_attributes = {"vacationEnd"};
    g_config.alias_attributes = {"mail"};
  }

  // A session bound as the web account; a failure fails the test.
  static DirectorySession web_session() {
    Result<DirectorySession> session =
        directory_connect_as(g_config.web_binddn, g_config.web_bindpw);
    if (!session.ok()) throw std::runtime_error("no session: " + session.failure().reason);
    return std::move(*session);
  }

  static inline std::unique_ptr<SlapdServer> server_;
};

TEST_F(Account, SessionsBindAsTheAccountGivenAndOrveltsAsItsLogin) {
  const struct Case {
    const char* name;
    OptionalText dn;
    OptionalText password;
    std::string bound_as;
  } cases[] = {
      {"the web account", kAdminDn, kAdminPassword, kAdminDn},
      {"anonymous", std::nullopt, std::nullopt, ""},
  };
  g_config.login = person_dn("jane");
  g_config.password = "jane-pw";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t mark = server_->log_mark();
    {
      const Result<DirectorySession> session = directory_connect_as(c.dn, c.password);
      ASSERT_TRUE(session.ok()) << session.failure().reason;
    }
    // Version 2 first, refused by this server; then version 3.
    EXPECT_EQ(server_->binds_since(mark),
              (std::vector<SlapdBind>{{2, c.bound_as, LDAP_PROTOCOL_ERROR}, {3, c.bound_as, 0}}));
  }
  // orvelt's own session still binds with login and password.
  expect_connects_with_binds(
      *server_, {{2, person_dn("jane"), LDAP_PROTOCOL_ERROR}, {3, person_dn("jane"), 0}});
  // A refused bind is the session's failure.
  const Result<DirectorySession> refused = directory_connect_as(kAdminDn, std::string("wrong"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure().reason, "CRIT/LDAP Invalid credentials");
}

TEST_F(Account, FindsTheOneEntryOfALoginAndNothingAFilterByteCouldWiden) {
  const std::optional<std::string> none;
  const struct Case {
    std::string login;
    std::optional<std::string> dn;
  } cases[] = {
      {"jane@example.org", person_dn("jane")},
      {"JANE@Example.ORG", person_dn("jane")},   // mail matches in any case
      {"j.doe@example.org", person_dn("jane")},  // any of the entry's addresses
      {"plain@example.org", person_dn("plain")},
      {kOdd, person_dn("odd")},  // its special bytes match themselves
      {"nobody@example.org", none},
      {"twin@example.org", none},  // two entries: neither
      {"", none},
      {"*", none},
      {"*@example.org", none},
      {"jane*", none},
      {"o(d)d\\one*", none},
      {"o(d)d\\one\\2a@example.org", none},
      {"jane@example.org)(mail=*", none},
      {"*)(|(mail=*", none},
      {"jane@example.org)", none},
      {"\\", none},
      {"\\2a", none},
      {std::string("jane@example.org\0*", 18), none},
  };
  DirectorySession web = web_session();
  LogCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.login);
    const Result<std::optional<std::string>> found = account_find(web, c.login);
    ASSERT_TRUE(found.ok()) << found.failure().reason;
    EXPECT_EQ(*found, c.dn);
  }
  // Another filter, with its placeholder in any letter case.
  g_config.web_login_filter = "(&(objectClass=inetOrgPerson)(|(uid=$LOGIN)(mail=$login)))";
  EXPECT_EQ(*account_find(web, "twin1"), person_dn("twin1"));
  EXPECT_EQ(*account_find(web, "twin@example.org"), none);
  EXPECT_EQ(*account_find(web, "twin*"), none);
  EXPECT_TRUE(capture.records().empty());
}

TEST_F(Account, FindHandsBackWhatTheDirectoryRefused) {
  const struct Case {
    const char* name;
    std::function<void()> configure;
    std::string reason;
  } cases[] = {
      {"a filter the library cannot parse", [] { g_config.web_login_filter = "(mail=$login"; },
       "CRIT/LDAP Bad search filter"},
      {"a base that does not exist", [] { g_config.base = "ou=gone,dc=example,dc=org"; },
       "CRIT/LDAP No such object"},
  };
  DirectorySession web = web_session();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.configure();
    LogCapture capture;
    const Result<std::optional<std::string>> found = account_find(web, "jane@example.org");
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.failure().priority, LOG_ERR);
    EXPECT_EQ(found.failure().reason, c.reason);
    EXPECT_TRUE(capture.records().empty());
  }
}

TEST_F(Account, ChecksThePasswordWithABindAsThePerson) {
  const struct Case {
    const char* name;
    std::string dn;
    std::string password;
    bool valid;
    std::vector<SlapdBind> binds;  // the binds the server saw
  } cases[] = {
      {"right",
       person_dn("jane"),
       "jane-pw",
       true,
       {{2, person_dn("jane"), LDAP_PROTOCOL_ERROR}, {3, person_dn("jane"), 0}}},
      {"wrong",
       person_dn("jane"),
       "plain-pw",
       false,
       {{2, person_dn("jane"), LDAP_PROTOCOL_ERROR},
        {3, person_dn("jane"), LDAP_INVALID_CREDENTIALS},
        {3, person_dn("jane"), LDAP_INVALID_CREDENTIALS}}},
      {"a DN that does not exist",
       person_dn("ghost"),
       "ghost-pw",
       false,
       {{2, person_dn("ghost"), LDAP_PROTOCOL_ERROR},
        {3, person_dn("ghost"), LDAP_INVALID_CREDENTIALS},
        {3, person_dn("ghost"), LDAP_INVALID_CREDENTIALS}}},
      {"an entry without a password",
       person_dn("nopw"),
       "nopw-pw",
       false,
       {{2, person_dn("nopw"), LDAP_PROTOCOL_ERROR},
        {3, person_dn("nopw"), LDAP_INVALID_CREDENTIALS},
        {3, person_dn("nopw"), LDAP_INVALID_CREDENTIALS}}},
      // Neither is asked: an empty password would bind unauthenticated, and
      // the library would read the password only up to the NUL byte.
      {"empty", person_dn("jane"), "", false, {}},
      {"right up to a NUL byte", person_dn("jane"), std::string("jane-pw\0x", 9), false, {}},
      {"an empty DN", "", "jane-pw", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    const size_t mark = server_->log_mark();
    const Result<bool> valid = account_check_password(c.dn, c.password);
    ASSERT_TRUE(valid.ok()) << valid.failure().reason;
    EXPECT_EQ(*valid, c.valid);
    EXPECT_EQ(server_->binds_since(mark), c.binds);
    EXPECT_TRUE(capture.records().empty());
  }
  // At the configured version alone.
  g_config.protocol = 3;
  const size_t mark = server_->log_mark();
  EXPECT_TRUE(*account_check_password(person_dn("plain"), "plain-pw"));
  EXPECT_EQ(server_->binds_since(mark), (std::vector<SlapdBind>{{3, person_dn("plain"), 0}}));
}

TEST_F(Account, PasswordCheckWithoutAServerIsAFailure) {
  const ClosedPort closed;
  g_config.port = closed.port();
  LogCapture capture;
  const Result<bool> valid = account_check_password(person_dn("jane"), "jane-pw");
  ASSERT_FALSE(valid.ok());
  EXPECT_EQ(valid.failure().priority, LOG_ERR);
  EXPECT_EQ(valid.failure().reason, "CRIT/LDAP Can't contact LDAP server");
  EXPECT_TRUE(capture.records().empty());
}

// The person's bind goes over the configured TLS, and a server that cannot
// be verified is a failure, never a wrong password.
TEST(AccountTls, PasswordIsCheckedOverTheConfiguredTls) {
  const SlapdServer server(
      SlapdOptions().tls().entries(ldif_people_unit() + person("jane", {"jane@example.org"})));
  const struct Case {
    const char* name;
    DirectoryTls mode;
    std::string ca_file;
    std::string password;
    std::optional<bool> valid;  // none: the failure
  } cases[] = {
      {"starttls, right", DirectoryTls::kStartTls, server.ca_file(), "jane-pw", true},
      {"starttls, wrong", DirectoryTls::kStartTls, server.ca_file(), "plain-pw", false},
      {"ldaps, right", DirectoryTls::kLdaps, server.ca_file(), "jane-pw", true},
      {"starttls, an authority that did not sign the server's certificate", DirectoryTls::kStartTls,
       server.other_ca_file(), "jane-pw", std::nullopt},
      {"ldaps, an authority that did not sign the server's certificate", DirectoryTls::kLdaps,
       server.other_ca_file(), "jane-pw", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    configure_for(server);
    g_config.server = "localhost";
    g_config.tls = c.mode;
    if (c.mode == DirectoryTls::kLdaps) g_config.port = server.ldaps_port();
    g_config.tls_cacert = c.ca_file;
    const size_t mark = server.log_mark();
    const Result<bool> valid = account_check_password(person_dn("jane"), c.password);
    if (!c.valid) {
      ASSERT_FALSE(valid.ok());
      EXPECT_EQ(valid.failure().priority, LOG_ERR);
      EXPECT_TRUE(valid.failure().reason.starts_with("CRIT/LDAP ")) << valid.failure().reason;
      EXPECT_TRUE(server.binds_since(mark).empty());
      continue;
    }
    ASSERT_TRUE(valid.ok()) << valid.failure().reason;
    EXPECT_EQ(*valid, *c.valid);
    const std::vector<SlapdBind> binds = server.binds_since(mark);
    ASSERT_FALSE(binds.empty());
    for (const SlapdBind& bind : binds) EXPECT_TRUE(bind.tls) << bind;
  }
}

TEST_F(Account, ReadsTheVacationAttributesAndTheEntryAsALookupHandsItOver) {
  DirectorySession web = web_session();
  const Result<VacationSettings> jane = account_read(web, person_dn("jane"));
  ASSERT_TRUE(jane.ok()) << jane.failure().reason;
  EXPECT_EQ(jane->dn, person_dn("jane"));
  EXPECT_TRUE(jane->has_class);
  EXPECT_TRUE(jane->active);
  EXPECT_EQ(jane->start, "20240101000000Z");
  EXPECT_EQ(jane->end, "20240201000000Z");
  EXPECT_EQ(jane->text, "Away");
  EXPECT_EQ(jane->internal_text, "Away (internal)");
  EXPECT_EQ(jane->interval, "12");
  const DirectoryEntry& entry = jane->entry;
  EXPECT_EQ(entry.dn, person_dn("jane"));
  EXPECT_EQ(entry.text, "Away");
  EXPECT_EQ(entry.internal_text, "Away (internal)");
  EXPECT_EQ(entry.fields,
            (std::vector<std::pair<std::string, std::string>>{{"$name", "jane Doe"}}));
  EXPECT_EQ(entry.dates,
            (std::vector<std::pair<std::string, std::string>>{{"$until", "20240201000000Z"}}));
  EXPECT_EQ(entry.addresses, (StringList{"jane@example.org", "j.doe@example.org"}));
  EXPECT_EQ(entry.first_address, "jane@example.org");
  EXPECT_EQ(entry.interval, "12");

  // The attributes that are not configured are not read.
  g_config.internal_result.reset();
  g_config.blockexpire_attribute.reset();
  g_config.alias_attributes.clear();
  const Result<VacationSettings> bare = account_read(web, person_dn("jane"));
  ASSERT_TRUE(bare.ok()) << bare.failure().reason;
  EXPECT_FALSE(bare->internal_text);
  EXPECT_FALSE(bare->interval);
  EXPECT_FALSE(bare->entry.first_address);
  EXPECT_TRUE(bare->entry.addresses.empty());
  EXPECT_EQ(bare->text, "Away");

  // An entry without the vacation class holds none of its attributes.
  const Result<VacationSettings> plain = account_read(web, person_dn("plain"));
  ASSERT_TRUE(plain.ok()) << plain.failure().reason;
  EXPECT_FALSE(plain->has_class);
  EXPECT_FALSE(plain->active);
  EXPECT_FALSE(plain->start);
  EXPECT_FALSE(plain->end);
  EXPECT_FALSE(plain->text);
  EXPECT_EQ(plain->entry.fields,
            (std::vector<std::pair<std::string, std::string>>{{"$name", "plain Doe"}}));

  const Result<VacationSettings> ghost = account_read(web, person_dn("ghost"));
  ASSERT_FALSE(ghost.ok());
  EXPECT_EQ(ghost.failure().reason, "CRIT/LDAP No such object");
}

struct WriteCase {
  const char* name;
  std::string uid;
  VacationChange change;
  bool add_class;                   // the entry lacks the class, which the write adds
  std::function<void()> configure;  // beyond the suite's configuration
  // The attributes the write may touch, and what they hold afterwards.
  std::set<std::string> touched;
  Attributes expected;
};

std::vector<WriteCase> write_cases() {
  const std::string kSpecial = "Gr\xc3\xbc\xc3\x9f\x65!\nLine two (*) \\5c <script>\n ";
  return {
      {"switched on with dates and both texts, the old texts replaced",
       "w1",
       {true, "20300101080000Z", "20300115170000Z", "Back soon", "Back soon, colleagues", 24},
       false,
       {},
       {"vacationactive", "vacationstart", "vacationend", "vacationinfo", "vacationinfointernal",
        "vacationinterval"},
       {{"vacationactive", {"TRUE"}},
        {"vacationstart", {"20300101080000Z"}},
        {"vacationend", {"20300115170000Z"}},
        {"vacationinfo", {"Back soon"}},
        {"vacationinfointernal", {"Back soon, colleagues"}},
        {"vacationinterval", {"24"}}}},
      {"switched off: the texts kept, the dates removed",
       "w2",
       {false, std::nullopt, std::nullopt, std::nullopt, "keep too", std::nullopt},
       false,
       {},
       {"vacationactive", "vacationstart", "vacationend", "vacationinfo", "vacationinfointernal",
        "vacationinterval"},
       {{"vacationactive", {"FALSE"}},
        {"vacationinfo", {"keep me"}},
        {"vacationinfointernal", {"keep too"}}}},
      {"dates the entry never had removed without a failure",
       "w3",
       {true, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
       false,
       {},
       {"vacationactive", "vacationstart", "vacationend", "vacationinfo", "vacationinfointernal",
        "vacationinterval"},
       {{"vacationactive", {"TRUE"}}, {"vacationinfo", {"dateless"}}}},
      {"the class added to an entry without it",
       "w4",
       {true, std::nullopt, "20300115170000Z", "Away", std::nullopt, 48},
       true,
       {},
       {"objectclass", "vacationactive", "vacationend", "vacationinfo", "vacationinterval"},
       {{"objectclass", {"inetOrgPerson", "orveltVacation"}},
        {"vacationactive", {"TRUE"}},
        {"vacationend", {"20300115170000Z"}},
        {"vacationinfo", {"Away"}},
        {"vacationinterval", {"48"}}}},
      {"interval and internal text removed, an empty internal text as none",
       "w5",
       {true, std::nullopt, std::nullopt, "t", "", std::nullopt},
       false,
       {},
       {"vacationactive", "vacationinfo", "vacationinfointernal", "vacationinterval"},
       {{"vacationactive", {"TRUE"}}, {"vacationinfo", {"t"}}}},
      {"the result attribute configured as another name",
       "w6",
       {true, std::nullopt, std::nullopt, "in description", std::nullopt, std::nullopt},
       false,
       [] {
         g_config.result = "description";
         g_config.map_field_attributes = {"cn", "description"};
       },
       {"vacationactive", "description", "vacationinfo"},
       {{"vacationactive", {"TRUE"}},
        {"description", {"in description"}},
        {"vacationinfo", {"in vacationInfo"}}}},
      {"every byte of a text passed on as it is",
       "w7",
       {true, std::nullopt, std::nullopt, kSpecial, kSpecial + "\t", std::nullopt},
       false,
       {},
       {"vacationactive", "vacationinfo", "vacationinfointernal"},
       {{"vacationactive", {"TRUE"}},
        {"vacationinfo", {kSpecial}},
        {"vacationinfointernal", {kSpecial + "\t"}}}},
      {"internal text and interval left alone when they are not configured; empty text removed",
       "w8",
       {false, std::nullopt, std::nullopt, "", std::nullopt, std::nullopt},
       false,
       [] {
         g_config.internal_result.reset();
         g_config.blockexpire_attribute.reset();
       },
       {"vacationactive", "vacationinfo", "vacationinfointernal", "vacationinterval"},
       {{"vacationactive", {"FALSE"}},
        {"vacationinfointernal", {"stays"}},
        {"vacationinterval", {"3"}}}},
  };
}

TEST_F(Account, WritesOnlyTheVacationAttributesOfTheEntry) {
  for (const WriteCase& c : write_cases()) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.configure) c.configure();
    const std::string dn = person_dn(c.uid);
    const Attributes before = stored_attributes(*server_, dn);
    DirectorySession web = web_session();
    const Result<VacationSettings> shown = account_read(web, dn);
    ASSERT_TRUE(shown.ok()) << shown.failure().reason;
    EXPECT_EQ(shown->has_class, !c.add_class);
    LogCapture capture;
    const Result<WriteOutcome> written = account_write(web, dn, c.change, *shown);
    ASSERT_TRUE(written.ok()) << written.failure().reason;
    EXPECT_EQ(*written, WriteOutcome::kWritten);
    EXPECT_TRUE(capture.records().empty());
    const Attributes after = stored_attributes(*server_, dn);
    EXPECT_EQ(without(after, c.touched), without(before, c.touched));
    Attributes touched;
    for (const std::string& name : c.touched) {
      if (after.count(name) != 0) touched[name] = after.at(name);
    }
    EXPECT_EQ(touched, c.expected);
    // Read back as the page reads it.
    const Result<VacationSettings> read = account_read(web, dn);
    ASSERT_TRUE(read.ok()) << read.failure().reason;
    EXPECT_TRUE(read->has_class);
    EXPECT_EQ(read->active, c.change.active);
    EXPECT_EQ(read->start, c.change.start);
    EXPECT_EQ(read->end, c.change.end);
  }
}

TEST_F(Account, AWriteTheDirectoryRefusesChangesNothing) {
  const VacationChange change{true, "20300101080000Z", std::nullopt, "Away", "In", 12};
  VacationChange bad_date = change;
  bad_date.start = "next week";
  const struct Case {
    const char* name;
    std::string dn;
    VacationChange change;
    bool anonymous;
    std::string reason;
  } cases[] = {
      {"an entry that does not exist", person_dn("ghost"), change, false,
       "CRIT/LDAP No such object"},
      {"a date that is no GeneralizedTime", person_dn("fail"), bad_date, false,
       "CRIT/LDAP Invalid syntax"},
      {"the web account anonymous", person_dn("fail"), change, true,
       "CRIT/LDAP Strong(er) authentication required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.anonymous) {
      g_config.web_binddn.reset();
      g_config.web_bindpw.reset();
    }
    const Attributes before = stored_attributes(*server_, person_dn("fail"));
    DirectorySession web = web_session();
    // As the page read "fail": no class, no vacation attribute.
    const VacationSettings shown;
    LogCapture capture;
    const Result<WriteOutcome> written = account_write(web, c.dn, c.change, shown);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.failure().priority, LOG_ERR);
    EXPECT_EQ(written.failure().reason, c.reason);
    EXPECT_TRUE(capture.records().empty());
    EXPECT_EQ(stored_attributes(*server_, person_dn("fail")), before);
  }
}

// Each change made elsewhere after the page read the entry: the version
// tells it, and the write over it is refused by the server as a whole.
TEST_F(Account, AWriteOverValuesChangedSinceTheyWereReadWritesNothing) {
  const std::string dn = person_dn("w9");
  const VacationChange mine{true, std::nullopt, std::nullopt, "overwritten", "over", 1};
  const struct Case {
    const char* name;
    std::string ldif;  // the change made elsewhere
  } cases[] = {
      {"switched off", "replace: vacationActive\nvacationActive: FALSE\n"},
      {"start moved by a second", "replace: vacationStart\nvacationStart: 20261201000001+0100\n"},
      {"end added", "add: vacationEnd\nvacationEnd: 20261231235959+0100\n"},
      {"text changed in letter case only", "replace: vacationInfo\nvacationInfo: Mine\n"},
      {"internal text removed", "delete: vacationInfoInternal\n"},
      {"interval changed", "replace: vacationInterval\nvacationInterval: 13\n"},
  };
  DirectorySession web = web_session();
  std::string previous_version;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<VacationSettings> shown = account_read(web, dn);
    ASSERT_TRUE(shown.ok()) << shown.failure().reason;
    const std::string version = vacation_version(*shown);
    EXPECT_EQ(version.size(), 16u);
    EXPECT_NE(version, previous_version);
    EXPECT_EQ(vacation_version(*account_read(web, dn)), version) << "the same values, another read";
    server_->add("dn: " + dn + "\nchangetype: modify\n" + c.ldif);
    const Attributes changed = stored_attributes(*server_, dn);
    const Result<VacationSettings> now = account_read(web, dn);
    ASSERT_TRUE(now.ok());
    EXPECT_NE(vacation_version(*now), version);
    const Result<WriteOutcome> written = account_write(web, dn, mine, *shown);
    ASSERT_TRUE(written.ok()) << written.failure().reason;
    EXPECT_EQ(*written, WriteOutcome::kChangedElsewhere);
    EXPECT_EQ(stored_attributes(*server_, dn), changed);
    previous_version = version;
  }
  // The values as they are now: written.
  const Result<VacationSettings> current = account_read(web, dn);
  ASSERT_TRUE(current.ok());
  const Result<WriteOutcome> written = account_write(web, dn, mine, *current);
  ASSERT_TRUE(written.ok()) << written.failure().reason;
  EXPECT_EQ(*written, WriteOutcome::kWritten);
  EXPECT_EQ(stored_attributes(*server_, dn).at("vacationinfo"),
            std::multiset<std::string>{"overwritten"});
  // The class: shown as held by an entry that lacks it.
  VacationSettings claimed = *account_read(web, person_dn("fail"));
  claimed.has_class = true;
  const Attributes before = stored_attributes(*server_, person_dn("fail"));
  const Result<WriteOutcome> classless = account_write(web, person_dn("fail"), mine, claimed);
  ASSERT_TRUE(classless.ok()) << classless.failure().reason;
  EXPECT_EQ(*classless, WriteOutcome::kChangedElsewhere);
  EXPECT_EQ(stored_attributes(*server_, person_dn("fail")), before);
}

TEST_F(Account, TheOwnAddressIsTheEntrysAddressThatRepliesAreMadeFor) {
  DirectorySession web = web_session();
  Result<VacationSettings> jane = account_read(web, person_dn("jane"));
  ASSERT_TRUE(jane.ok()) << jane.failure().reason;
  // The default queryfilter compares mail with the receiver.
  EXPECT_EQ(jane->receiver_addresses, (StringList{"jane@example.org", "j.doe@example.org"}));
  EXPECT_EQ(account_own_address(*jane, "J.Doe@Example.ORG"), "j.doe@example.org");
  EXPECT_EQ(account_own_address(*jane, "jane"), "jane@example.org");
  g_config.queryfilter = "(&(|(uid=$recepient)(mailAlternateAddress=x))(mail~=$recepient))";
  jane = account_read(web, person_dn("jane"));
  ASSERT_TRUE(jane.ok()) << jane.failure().reason;
  EXPECT_EQ(jane->receiver_addresses, StringList{"jane"}) << "only equality with the receiver";
  VacationSettings none;
  EXPECT_EQ(account_own_address(none, "Carol@Example.org"), "carol@example.org");
  EXPECT_EQ(account_own_address(none, "<a@b, c@d>"), "<a@b, c@d>");
}

}  // namespace
