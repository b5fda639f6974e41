// The one directory session of a run, and the header and footer texts that
// frame every reply text of the run.
#pragma once

#include "directory/ldap_handles.h"
#include "util/strings.h"

// Created and bound by directory_connect, used by every lookup, unbound by
// directory_disconnect.
extern LdapSession directory_session;

// Contents of the forceheader and forcefooter files. Absent until the first
// lookup that finds entries loads them (load_header_footer); from then on
// present, empty when there is no such file, until directory_disconnect.
extern OptionalText header_text;
extern OptionalText footer_text;

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
void directory_connect();

// Drops the header and footer texts, then unbinds and closes the session.
void directory_disconnect();
