// The directory session of a run.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "directory/connection_guard.h"
#include "directory/ldap_handles.h"
#include "util/outcome.h"
#include "util/strings.h"

// A bound session, made by directory_connect (or directory_connect_as) and
// used by every lookup. When
// it goes it unbinds and closes the session, then drops its connection
// guard. Move-only; a moved-from session holds nothing.
class DirectorySession {
 public:
  DirectorySession(DirectorySession&&) noexcept = default;
  DirectorySession& operator=(DirectorySession&& other) noexcept {
    session_ = std::move(other.session_);  // unbinds the held session first
    guard_ = std::move(other.guard_);
    return *this;
  }
  DirectorySession(const DirectorySession&) = delete;
  DirectorySession& operator=(const DirectorySession&) = delete;
  ~DirectorySession() = default;

  // The library's session handle, for the calls of a lookup.
  LDAP* handle() const { return session_.get(); }
  // What the session's connections went through.
  ConnectionGuard& guard() { return *guard_; }

  // Whether the session's last request failed because its connection is
  // gone (the library's server-down or connect-error code: the server
  // closed it, or could not be reached again), rather than by the server's
  // refusal or a time-out. A long-lived session that the server dropped
  // while idle says so at its next search; only a new session can go on.
  bool lost() const;
  // Whether the session's last request timed out: the server, or whatever
  // lies between, went silent. A kept session whose connection a firewall
  // dropped on the way says so; a new connection may well be answered.
  bool timed_out() const { return session_ && guard_->timed_out(); }

 private:
  friend Result<DirectorySession> directory_connect_as(const OptionalText&, const OptionalText&);
  friend Result<bool> directory_credentials_valid(const std::string&, const std::string&);
  // Opens, secures and binds a session with dn and password; the result
  // code of the last bind tried goes to bind_result (left as it was when
  // the session failed before any bind).
  static Result<DirectorySession> open(const OptionalText& dn, const OptionalText& password,
                                       int& bind_result);
  DirectorySession(std::unique_ptr<ConnectionGuard> guard, LdapSession session)
      : guard_(std::move(guard)), session_(std::move(session)) {}

  // Declared first, so that it goes last: the handle keeps pointers to it.
  std::unique_ptr<ConnectionGuard> guard_;
  LdapSession session_;
};

// Opens the session to g_config.server (one host or several separated by
// spaces, tried in order, each optionally with ":port"; g_config.port for
// the others), secured as g_config.tls says, and binds with g_config.login
// and g_config.password, anonymous when they are absent.
//
// The connection is made once, before the first bind: for ldaps with the
// TLS handshake; for starttls followed by the StartTLS request at version 3.
// Either way the server's certificate must be valid for the host, issued by
// an authority of g_config.tls_cacert (when set) or of the client library's
// own configuration; the session gets a TLS context of its own and sets no
// option for the process. An encrypted session opens no other connection
// and follows no referral.
//
// A configured protocol (2 or 3) gets exactly one bind at that version;
// otherwise the binds go at version 2, then 3, then 3 again until one
// succeeds, except after StartTLS, where the one bind goes at version 3. A
// bind that times out ends the sequence.
//
// Connecting to a host, the StartTLS request and each bind may take 10
// seconds; every wait for the server within a TLS handshake may take
// kConnectionWaitSeconds.
//
// Returns a bound session, or the failure, each at priority err: when the
// client library cannot be opened "CRIT/LDAP <dynamic linker's reason>";
// when no handle can be created "CRIT/LDAP Connection failed"; when the TLS
// context cannot be built from the settings "CRIT/LDAP Cannot set up TLS
// with tls_cacert <path>" (or "... with the LDAP library's settings"); when
// no host can be reached, the handshake, the verification or StartTLS
// fails, or the last bind fails, "CRIT/LDAP <library text of the result>"
// ("Timed out" after a time-out). Nothing is logged here: whoever ends the
// run logs the failure.
Result<DirectorySession> directory_connect();

// The session directory_connect opens, bound with dn and password instead
// of the configured login (anonymous when dn is none). Failures as
// directory_connect's.
Result<DirectorySession> directory_connect_as(const OptionalText& dn, const OptionalText& password);

// Whether password is dn's: a session of its own, opened and bound as
// directory_connect_as does it (server, security, protocol versions), then
// closed again. False without asking for an empty dn or password (an empty
// password would make the bind an unauthenticated one, which succeeds) or
// one that holds a NUL byte; false when the last bind was refused with
// invalidCredentials (a wrong password, and a DN that does not exist);
// any other failure is handed back as directory_connect's.
Result<bool> directory_credentials_valid(const std::string& dn, const std::string& password);
