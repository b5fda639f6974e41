#include "directory/connection.h"

#include <sys/time.h>
#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "config/config.h"
#include "directory/connection_guard.h"
#include "directory/ldap_library.h"
#include "util/log.h"

namespace {

// How long connecting (each host) and each request before the search (the
// StartTLS request, each bind) may take. The process runs once per incoming
// message; a directory that does not answer must not hold the mail system.
constexpr time_t kConnectAndBindSeconds = 10;

// TCP keepalive on every connection of a session: after this long without
// traffic the kernel probes the server, every kKeepaliveIntervalSeconds,
// and gives the connection up after kKeepaliveProbes unanswered probes.
// The probes keep a firewall's record of a kept connection alive, and a
// connection that died on the way fails at the next request at once instead
// of waiting out its time limit.
constexpr int kKeepaliveIdleSeconds = 30;
constexpr int kKeepaliveIntervalSeconds = 10;
constexpr int kKeepaliveProbes = 3;

Outcome failed_with(int result) {
  return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(result));
}

// "ldaps://host:port" for every host of server, separated by blanks. A
// host that names its own port ("host:port", "[v6address]:port") keeps it.
// Hosts are separated by blanks or commas, as ldap_init reads them.
std::string ldaps_urls(const std::string& server, int port) {
  std::string urls;
  size_t start = 0;
  while ((start = server.find_first_not_of(" \t,", start)) != std::string::npos) {
    const size_t end = std::min(server.find_first_of(" \t,", start), server.size());
    const std::string host = server.substr(start, end - start);
    const bool has_port = host.front() == '[' ? host.find("]:") != std::string::npos
                                              : host.find(':') != std::string::npos;
    if (!urls.empty()) urls += ' ';
    urls += "ldaps://";
    urls += host;
    if (!has_port) {
      urls += ':';
      urls += std::to_string(port);
    }
    start = end;
  }
  return urls;
}

// A new, unconnected session handle for the configured hosts, or null.
LDAP* new_session() {
  if (g_config.tls != DirectoryTls::kLdaps) {
    return ldap_init(g_config.server.c_str(), g_config.port);
  }
  // An empty list would leave the choice of server, and of scheme, to the
  // library's defaults.
  const std::string urls = ldaps_urls(g_config.server, g_config.port);
  LDAP* session = nullptr;
  if (urls.empty() || ldap_initialize(&session, urls.c_str()) != LDAP_SUCCESS) return nullptr;
  return session;
}

ConnectionRule connection_rule() {
  switch (g_config.tls) {
    case DirectoryTls::kNone:
      return ConnectionRule::kAny;
    case DirectoryTls::kLdaps:
      return ConnectionRule::kLdapsOnly;
    case DirectoryTls::kStartTls:
      return ConnectionRule::kFirstOnly;
  }
  return ConnectionRule::kFirstOnly;
}

// Bounds the TCP connect to each host (and, through the connection guard,
// every wait on a connection) and every synchronous request of the session,
// and has the session's connections kept alive (the library turns
// SO_KEEPALIVE on for each and applies the times when it connects).
void bound_waits(LDAP* session, ConnectionGuard& guard) {
  const timeval limit{kConnectAndBindSeconds, 0};
  ldap_set_option(session, LDAP_OPT_NETWORK_TIMEOUT, &limit);
  ldap_set_option(session, LDAP_OPT_TIMEOUT, &limit);
  ldap_set_option(session, LDAP_OPT_X_KEEPALIVE_IDLE, &kKeepaliveIdleSeconds);
  ldap_set_option(session, LDAP_OPT_X_KEEPALIVE_INTERVAL, &kKeepaliveIntervalSeconds);
  ldap_set_option(session, LDAP_OPT_X_KEEPALIVE_PROBES, &kKeepaliveProbes);
  guard.watch(session);
}

// The library's TLS settings that the session carries over into a context
// of its own. A handle starts without any of the library's file names (it
// would share the library's global context instead), so a context built
// for the handle would otherwise know no certificate authority at all.
constexpr int kCarriedTextOptions[] = {
    LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR,    LDAP_OPT_X_TLS_CERTFILE,
    LDAP_OPT_X_TLS_KEYFILE,    LDAP_OPT_X_TLS_CIPHER_SUITE, LDAP_OPT_X_TLS_CRLFILE,
};
constexpr int kCarriedNumberOptions[] = {
    LDAP_OPT_X_TLS_PROTOCOL_MIN,
    LDAP_OPT_X_TLS_CRLCHECK,
};

void carry_over_library_tls_settings(LDAP* session) {
  for (const int option : kCarriedTextOptions) {
    char* value = nullptr;
    if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS && value != nullptr) {
      ldap_set_option(session, option, value);
      ldap_memfree(value);
    }
  }
  for (const int option : kCarriedNumberOptions) {
    int value = 0;
    if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS) {
      ldap_set_option(session, option, &value);
    }
  }
}

// Gives the session a TLS context of its own, built from the library's
// settings, tls_cacert in place of the library's certificate authorities,
// and a hard requirement for a valid server certificate that matches the
// host name. Nothing is set globally: other handles of the process, and the
// library's own configuration, stay as they are.
Outcome set_up_tls_context(LDAP* session) {
  carry_over_library_tls_settings(session);
  if (g_config.tls_cacert) {
    // Only the configured file: a directory of authorities from the
    // library's configuration must not widen the trust.
    ldap_set_option(session, LDAP_OPT_X_TLS_CACERTDIR, nullptr);
    ldap_set_option(session, LDAP_OPT_X_TLS_CACERTFILE, g_config.tls_cacert->c_str());
  }
  const int hard = LDAP_OPT_X_TLS_HARD;
  ldap_set_option(session, LDAP_OPT_X_TLS_REQUIRE_CERT, &hard);
  // Builds the context from the options above; must come after them. One
  // thread at a time: the library's building of a context is not safe
  // against another thread doing the same, and sessions opened at once
  // (orveltd's workers) would fail for no fault of their settings.
  static std::mutex context_building;
  const int client = 0;
  std::unique_lock<std::mutex> building(context_building);
  const bool built = ldap_set_option(session, LDAP_OPT_X_TLS_NEWCTX, &client) == LDAP_OPT_SUCCESS;
  building.unlock();
  if (!built) {
    return Outcome::config_error(
        LOG_ERR,
        g_config.tls_cacert
            ? "CRIT/LDAP Cannot set up TLS with tls_cacert " + log_safe(*g_config.tls_cacert)
            : std::string("CRIT/LDAP Cannot set up TLS with the LDAP library's settings"));
  }
  return Outcome::done();
}

// The result code of the session's last operation; a time-out when the
// connection guard saw the server go silent.
int last_result(LDAP* session, const ConnectionGuard& guard) {
  if (guard.wait_ran_out()) return LDAP_TIMEOUT;
  int result = LDAP_OTHER;
  ldap_get_option(session, LDAP_OPT_RESULT_CODE, &result);
  return result;
}

// Connects to the first host that answers, with the TLS handshake for
// ldaps; a failure when none does.
Outcome connect_session(LDAP* session, ConnectionGuard& guard) {
  guard.start_request();
  if (ldap_connect(session) != LDAP_SUCCESS) return failed_with(last_result(session, guard));
  return Outcome::done();
}

// Sets the protocol version of the requests that follow. A handle always
// accepts 2 and 3, so the outcome is not looked at.
void set_protocol_version(LDAP* session, int version) {
  ldap_set_option(session, LDAP_OPT_PROTOCOL_VERSION, &version);
}

// Upgrades the connection with StartTLS (an LDAPv3 operation) and verifies
// the server; a failure when the server refuses or the handshake or the
// verification fails. Nothing goes on in clear.
Outcome start_tls(LDAP* session, ConnectionGuard& guard) {
  set_protocol_version(session, LDAP_VERSION3);
  guard.start_request();
  const int result = ldap_start_tls_s(session, nullptr, nullptr);
  if (result != LDAP_SUCCESS) return failed_with(guard.wait_ran_out() ? LDAP_TIMEOUT : result);
  return Outcome::done();
}

// Who a session binds as: a DN and its password, each null when absent
// (both null: anonymous).
struct Credentials {
  const char* dn;
  const char* password;
};

// One simple bind with credentials; the library's result code.
int bind_once(LDAP* session, ConnectionGuard& guard, const Credentials& credentials) {
  guard.start_request();
  const int result = ldap_simple_bind_s(session, credentials.dn, credentials.password);
  return result != LDAP_SUCCESS && guard.wait_ran_out() ? LDAP_TIMEOUT : result;
}

// Binds with credentials at the configured protocol and returns the result
// code of the last bind tried.
int bind_with_configured_protocol(LDAP* session, ConnectionGuard& guard,
                                  const Credentials& credentials) {
  const int protocol = g_config.protocol;
  if (protocol == LDAP_VERSION2 || protocol == LDAP_VERSION3) {
    set_protocol_version(session, protocol);
    return bind_once(session, guard, credentials);
  }
  // After StartTLS the server speaks version 3, and the connection cannot be
  // replaced (the guard allows no second one): one bind at version 3.
  if (g_config.tls == DirectoryTls::kStartTls) return bind_once(session, guard, credentials);
  // Version 2 first: a server that still speaks it costs a single bind.
  // Version 3 is tried twice before giving up: should the server have
  // dropped the connection over the refused version 2 bind, the repeat runs
  // on a fresh one (the library reconnects on the next request). A bind
  // that timed out ends the sequence: the server did not refuse the
  // version, it did not answer, and each further try would wait as long.
  set_protocol_version(session, LDAP_VERSION2);
  int result = bind_once(session, guard, credentials);
  if (result == LDAP_SUCCESS || result == LDAP_TIMEOUT) return result;
  set_protocol_version(session, LDAP_VERSION3);
  result = bind_once(session, guard, credentials);
  if (result == LDAP_SUCCESS || result == LDAP_TIMEOUT) return result;
  return bind_once(session, guard, credentials);
}

// Connects, secures and binds session as configured, with credentials. The
// result code of the last bind tried goes to bind_result (left as it was
// when the session failed before any bind).
Outcome open_session(LDAP* session, ConnectionGuard& guard, const Credentials& credentials,
                     int& bind_result) {
  bound_waits(session, guard);
  // A referral would lead to a connection that the session did not choose
  // (with TLS or not): referrals and search references are handed to the
  // lookup as they came, never followed.
  ldap_set_option(session, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (g_config.tls != DirectoryTls::kNone) {
    if (Outcome tls = set_up_tls_context(session); !tls.ok()) return tls;
  }
  if (Outcome connected = connect_session(session, guard); !connected.ok()) return connected;
  if (g_config.tls == DirectoryTls::kStartTls) {
    if (Outcome secured = start_tls(session, guard); !secured.ok()) return secured;
  }
  bind_result = bind_with_configured_protocol(session, guard, credentials);
  if (bind_result != LDAP_SUCCESS) return failed_with(bind_result);
  return Outcome::done();
}

const char* text_or_null(const OptionalText& text) { return text ? text->c_str() : nullptr; }

}  // namespace

bool DirectorySession::lost() const {
  if (!session_ || guard_->wait_ran_out()) return false;
  int result = LDAP_SUCCESS;
  ldap_get_option(session_.get(), LDAP_OPT_RESULT_CODE, &result);
  return result == LDAP_SERVER_DOWN || result == LDAP_CONNECT_ERROR;
}

Result<DirectorySession> DirectorySession::open(const OptionalText& dn,
                                                const OptionalText& password, int& bind_result) {
  if (Outcome library = ldap_library_open(); !library.ok()) return library;
  auto guard = std::make_unique<ConnectionGuard>(connection_rule());
  LdapSession owner(new_session());
  if (!owner) return Outcome::retry(LOG_ERR, "CRIT/LDAP Connection failed");
  const Credentials credentials{text_or_null(dn), text_or_null(password)};
  if (Outcome opened = open_session(owner.get(), *guard, credentials, bind_result); !opened.ok()) {
    return opened;
  }
  return DirectorySession(std::move(guard), std::move(owner));
}

Result<DirectorySession> directory_connect_as(const OptionalText& dn,
                                              const OptionalText& password) {
  int bind_result = LDAP_OTHER;
  return DirectorySession::open(dn, password, bind_result);
}

Result<DirectorySession> directory_connect() {
  return directory_connect_as(g_config.login, g_config.password);
}

Result<bool> directory_credentials_valid(const std::string& dn, const std::string& password) {
  // An empty password would make the bind an unauthenticated one, which
  // succeeds for any DN; a NUL byte would cut the password short where the
  // library reads it. An empty DN is the anonymous bind.
  if (dn.empty() || password.empty() || dn.find('\0') != std::string::npos ||
      password.find('\0') != std::string::npos) {
    return false;
  }
  int bind_result = LDAP_OTHER;
  const Result<DirectorySession> session = DirectorySession::open(dn, password, bind_result);
  if (session.ok()) return true;
  if (bind_result == LDAP_INVALID_CREDENTIALS) return false;
  return session.failure();
}
