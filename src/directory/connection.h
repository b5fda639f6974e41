// The directory session of a run, and the header and footer texts that
// frame every reply text of the run.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "directory/ldap_handles.h"

// The contents of the forceheader and forcefooter files, each empty when
// there is no such file.
struct ReplyFrame {
  std::string header;
  std::string footer;
};

// A bound session, made by directory_connect and used by every lookup. When
// it goes it drops the reply frame, then unbinds and closes the session.
// Move-only; a moved-from session holds nothing.
class DirectorySession {
 public:
  DirectorySession(DirectorySession&&) noexcept = default;
  DirectorySession& operator=(DirectorySession&&) noexcept = default;
  DirectorySession(const DirectorySession&) = delete;
  DirectorySession& operator=(const DirectorySession&) = delete;
  ~DirectorySession() = default;

  // The library's session handle, for the calls of a lookup.
  LDAP* handle() const { return session_.get(); }

  // Absent until the first lookup that finds entries loads it; from then on
  // it stays, so the files are read once per session.
  const std::optional<ReplyFrame>& reply_frame() const { return frame_; }
  void set_reply_frame(ReplyFrame frame) { frame_ = std::move(frame); }

 private:
  friend DirectorySession directory_connect();
  explicit DirectorySession(LdapSession session) : session_(std::move(session)) {}

  // Declared first, so that it goes last: the texts are dropped first.
  LdapSession session_;
  std::optional<ReplyFrame> frame_;
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
// seconds; so may every wait for the server within a TLS handshake.
//
// Returns only with a bound session: when no handle can be created it logs
// "CRIT/LDAP Connection failed"; when the TLS context cannot be built from
// the settings "CRIT/LDAP Cannot set up TLS with tls_cacert <path>" (or
// "... with the LDAP library's settings"); when no host can be reached, the
// handshake, the verification or StartTLS fails, or the last bind fails,
// "CRIT/LDAP <library text of the result>" ("Timed out" after a time-out);
// all at priority err, and exits with status 1.
DirectorySession directory_connect();
