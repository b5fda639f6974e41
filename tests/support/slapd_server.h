// A private slapd for one test: started by the constructor on a free
// loopback port (through the slapd-fixture script beside this file),
// stopped and removed with all its files by the destructor, also when the
// test fails. Should the test process die without unwinding, the script's
// watchdog stops the server when the process ends.
//
// The directory holds dc=example,dc=org, readable by anyone, with the
// project's schema (etc/orvelt.ldif) beside core, cosine and inetOrgPerson.
// slapd logs at "stats,trace"; binds_since reads its binds back.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

// What the server is started with, set link by link:
//   SlapdOptions().allow_bind_v2().user(dn, password).entries(ldif).tls()
struct SlapdOptions {
  bool bind_v2 = false;       // slapd refuses LDAPv2 binds unless allowed
  std::string user_dn;        // when set, an entry to bind as ...
  std::string user_password;  // ... with this password
  std::string ldif;           // entries loaded (slapadd) before the start
  bool with_tls = false;      // StartTLS on port(), and ldaps on ldaps_port()
  bool large_db = false;      // room for 1 GiB; no limit of entries per search

  SlapdOptions& allow_bind_v2(bool allow = true) {
    bind_v2 = allow;
    return *this;
  }
  // A throw-away certificate authority and a server certificate for
  // 127.0.0.1 and localhost are made for the server (see ca_file()).
  SlapdOptions& tls(bool enable = true) {
    with_tls = enable;
    return *this;
  }
  SlapdOptions& large(bool enable = true) {
    large_db = enable;
    return *this;
  }
  SlapdOptions& user(const std::string& dn, const std::string& password) {
    user_dn = dn;
    user_password = password;
    return *this;
  }
  SlapdOptions& entries(const std::string& text) {
    ldif = text;
    return *this;
  }
};

// The account the tests that bind with credentials give the server
// (SlapdOptions::user) and the program (login, password).
inline const std::string kBindDn = "cn=orvelt,dc=example,dc=org";
inline const std::string kBindPassword = "s3cret";

// One simple bind as slapd saw it.
struct SlapdBind {
  int version = 0;   // protocol version of the request
  std::string dn;    // bind DN, empty for anonymous
  int result = -1;   // LDAP result code sent back
  bool tls = false;  // the connection was encrypted (StartTLS or ldaps) when it came
  bool operator==(const SlapdBind&) const = default;
};
std::ostream& operator<<(std::ostream& out, const SlapdBind& bind);

class SlapdServer {
 public:
  static constexpr const char* kSuffix = "dc=example,dc=org";

  // Throws std::runtime_error, with the script's output, when the server
  // cannot be set up or does not come up.
  explicit SlapdServer(const SlapdOptions& options = {});
  ~SlapdServer();
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  int port() const { return port_; }
  // ldap://127.0.0.1:<port>/
  std::string url() const;

  // With SlapdOptions::tls only (0 or empty otherwise): the ldaps port; the
  // PEM file of the authority that signed the server's certificate; and
  // that of a second authority that signed nothing the server has.
  int ldaps_port() const { return ldaps_port_; }
  std::string ca_file() const;
  std::string other_ca_file() const;

  // Adds entries (or applies the changes) of an LDIF text as the
  // administrator, while the server runs.
  void add(const std::string& ldif) const;

  // SIGSTOP and SIGCONT: a stopped server keeps its connections open but
  // answers nothing.
  void stop() const;
  void cont() const;

  // A position in slapd's log, to look at what happens after it.
  size_t log_mark() const;
  // slapd's log from mark on.
  std::string log_since(size_t mark) const;
  // The binds of the connections accepted after mark, in the order they
  // came, once every such connection has closed and every bind has been
  // answered. Records a test failure if that takes more than a few seconds.
  std::vector<SlapdBind> binds_since(size_t mark) const;

 private:
  std::string dir_;
  std::string log_path_;
  int port_ = 0;
  int ldaps_port_ = 0;
  bool tls_ = false;
  pid_t slapd_pid_ = 0;
  pid_t owner_pid_ = 0;  // the process that started the server
};

// One "name: value" line of LDIF, base64-encoded ("name:: ...") when the
// value could not stand there as it is (line breaks, leading space, ...).
std::string ldif_line(const std::string& name, const std::string& value);

// The LDIF of ou=people under the suffix, the parent of ldif_person entries.
std::string ldif_people_unit();
// The LDIF of one person under ou=people: mail address, vacationActive
// (left out when active is null), one vacationInfo line per reply text, and
// any further attribute lines in more.
std::string ldif_person(const std::string& uid, const std::string& mail, const char* active,
                        const std::vector<std::string>& replies, const std::string& more = "");
