#include "directory/connection_guard.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace {

ConnectionRule g_rule = ConnectionRule::kAny;
int g_connections_opened = 0;
bool g_wait_ran_out = false;

// Above the library's TCP layer (LBER_SBIOD_LEVEL_PROVIDER), which it adds
// after the connection callbacks have run, and below its TLS layer
// (LBER_SBIOD_LEVEL_TRANSPORT).
constexpr int kLayerLevel = LBER_SBIOD_LEVEL_PROVIDER + 1;

// Waits until the layer's socket is ready for events. False, with errno
// ETIMEDOUT, when it is not ready within kConnectionWaitSeconds; true when
// it is ready or has an error, which the read or write then reports.
//
// Why the layer exists: libldap 2.5 turns the socket non-blocking for an
// ldaps handshake when LDAP_OPT_NETWORK_TIMEOUT is set, but then retries
// the handshake without waiting (a busy loop without end against a server
// that does not answer); without the option its reads block for ever.
bool wait_for_socket(Sockbuf_IO_Desc* layer, short events) {
  ber_socket_t fd = -1;
  ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
  pollfd watched{fd, events, 0};
  int ready;
  do {
    ready = poll(&watched, 1, kConnectionWaitSeconds * 1000);
  } while (ready < 0 && errno == EINTR);
  if (ready != 0) return true;
  g_wait_ran_out = true;
  errno = ETIMEDOUT;
  return false;
}

ber_slen_t bounded_read(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!wait_for_socket(layer, POLLIN)) return -1;
  return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}

ber_slen_t bounded_write(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!wait_for_socket(layer, POLLOUT)) return -1;
  return LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
}

int pass_control(Sockbuf_IO_Desc* layer, int option, void* argument) {
  return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

Sockbuf_IO bounded_wait_layer = {
    nullptr,  // setup: nothing to keep per connection
    nullptr,  // remove
    pass_control, bounded_read, bounded_write,
    nullptr,  // close: the TCP layer closes the socket
};

bool rule_allows(const LDAPURLDesc* url) {
  switch (g_rule) {
    case ConnectionRule::kAny:
      return true;
    case ConnectionRule::kLdapsOnly:
      return url != nullptr && url->lud_scheme != nullptr &&
             std::strcmp(url->lud_scheme, "ldaps") == 0;
    case ConnectionRule::kFirstOnly:
      return g_connections_opened == 0;
  }
  return false;
}

// Connection callback: runs once the TCP connection stands and before the
// library sends anything on it, TLS handshake included. Non-zero refuses.
int on_connection_added(LDAP*, Sockbuf* socket, LDAPURLDesc* url, sockaddr*, ldap_conncb*) {
  if (!rule_allows(url)) return -1;
  if (ber_sockbuf_add_io(socket, &bounded_wait_layer, kLayerLevel, nullptr) != 0) return -1;
  ++g_connections_opened;
  return 0;
}

// Runs before a connection closes (socket null: the handle is going).
void on_connection_deleted(LDAP*, Sockbuf* socket, ldap_conncb*) {
  if (socket != nullptr) ber_sockbuf_remove_io(socket, &bounded_wait_layer, kLayerLevel);
}

// The library keeps a pointer to it for the life of the handle.
ldap_conncb connection_callbacks = {on_connection_added, on_connection_deleted, nullptr};

}  // namespace

void guard_connections(LDAP* session, ConnectionRule rule) {
  g_rule = rule;
  g_connections_opened = 0;
  g_wait_ran_out = false;
  ldap_set_option(session, LDAP_OPT_CONNECT_CB, &connection_callbacks);
}

bool connection_wait_ran_out() { return g_wait_ran_out; }
