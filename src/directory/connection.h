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
// the others) and binds with g_config.login and g_config.password, anonymous
// when they are absent. A configured protocol (2 or 3) gets exactly one bind
// at that version; otherwise the binds go at version 2, then 3, then 3 again
// until one succeeds. Returns only with a bound session: when no handle can
// be created it logs "CRIT/LDAP Connection failed", when the last bind fails
// "CRIT/LDAP <library text of its result>", both at priority err, and exits
// with status 1.
void directory_connect();

// Drops the header and footer texts, then unbinds and closes the session.
void directory_disconnect();
