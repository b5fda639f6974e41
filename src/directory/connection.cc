#include "directory/connection.h"

#include <syslog.h>

#include <cstdlib>

#include "config/config.h"
#include "util/log.h"

LdapSession directory_session;
OptionalText header_text;
OptionalText footer_text;

namespace {

// Sets the protocol version of the binds that follow. A handle always
// accepts 2 and 3, so the outcome is not looked at.
void set_protocol_version(int version) {
  ldap_set_option(directory_session.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
}

// One simple bind with the configured credentials; the library's result code.
int bind_once() {
  const OptionalText& login = g_config.login;
  const OptionalText& password = g_config.password;
  return ldap_simple_bind_s(directory_session.get(), login ? login->c_str() : nullptr,
                            password ? password->c_str() : nullptr);
}

// Binds as configured and returns the result code of the last bind tried.
int bind_with_configured_protocol() {
  const int protocol = g_config.protocol;
  if (protocol == LDAP_VERSION2 || protocol == LDAP_VERSION3) {
    set_protocol_version(protocol);
    return bind_once();
  }
  // Version 2 first: a server that still speaks it costs a single bind.
  // Version 3 is tried twice before giving up: should the server have
  // dropped the connection over the refused version 2 bind, the repeat runs
  // on a fresh one (the library reconnects on the next request).
  set_protocol_version(LDAP_VERSION2);
  int result = bind_once();
  if (result == LDAP_SUCCESS) return result;
  set_protocol_version(LDAP_VERSION3);
  result = bind_once();
  if (result == LDAP_SUCCESS) return result;
  return bind_once();
}

}  // namespace

void directory_connect() {
  // ldap_init only parses the host list; the first bind connects, trying the
  // hosts in their order.
  directory_session.reset(ldap_init(g_config.server.c_str(), g_config.port));
  if (!directory_session) {
    log_message(LOG_ERR, "CRIT/LDAP Connection failed");
    exit(1);
  }
  const int result = bind_with_configured_protocol();
  if (result != LDAP_SUCCESS) {
    log_message(LOG_ERR, "CRIT/LDAP %s", ldap_err2string(result));
    exit(1);
  }
}

void directory_disconnect() {
  header_text.reset();
  footer_text.reset();
  directory_session.reset();
}
