#include "directory/connection_guard.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

// The library's callbacks, with access to the guard they were given.
struct ConnectionGuardHooks {
  static bool wait_for_socket(Sockbuf_IO_Desc* layer, short events);
  static bool rule_allows(const ConnectionGuard& guard, const LDAPURLDesc* url);
  static int on_connection_added(LDAP*, Sockbuf* socket, LDAPURLDesc* url, sockaddr*,
                                 ldap_conncb* callbacks);
  static void on_connection_deleted(LDAP*, Sockbuf* socket, ldap_conncb*);
};

namespace {

// Above the library's TCP layer (LBER_SBIOD_LEVEL_PROVIDER), which it adds
// after the connection callbacks have run, and below its TLS layer
// (LBER_SBIOD_LEVEL_TRANSPORT).
constexpr int kLayerLevel = LBER_SBIOD_LEVEL_PROVIDER + 1;

ber_slen_t bounded_read(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!ConnectionGuardHooks::wait_for_socket(layer, POLLIN)) return -1;
  return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}

ber_slen_t bounded_write(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!ConnectionGuardHooks::wait_for_socket(layer, POLLOUT)) return -1;
  return LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
}

int pass_control(Sockbuf_IO_Desc* layer, int option, void* argument) {
  return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

// Keeps the guard with the layer: its argument is the guard.
int remember_guard(Sockbuf_IO_Desc* layer, void* guard) {
  layer->sbiod_pvt = guard;
  return 0;
}

Sockbuf_IO bounded_wait_layer = {
    remember_guard,
    nullptr,  // remove
    pass_control,   bounded_read, bounded_write,
    nullptr,  // close: the TCP layer closes the socket
};

}  // namespace

// Waits until the layer's socket is ready for events. False, with errno
// ETIMEDOUT, when it is not ready within kConnectionWaitSeconds; true when
// it is ready or has an error, which the read or write then reports.
//
// Why the layer exists: libldap 2.5 turns the socket non-blocking for an
// ldaps handshake when LDAP_OPT_NETWORK_TIMEOUT is set, but then retries
// the handshake without waiting (a busy loop without end against a server
// that does not answer); without the option its reads block for ever.
bool ConnectionGuardHooks::wait_for_socket(Sockbuf_IO_Desc* layer, short events) {
  ber_socket_t fd = -1;
  ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
  pollfd watched{fd, events, 0};
  int ready;
  do {
    ready = poll(&watched, 1, kConnectionWaitSeconds * 1000);
  } while (ready < 0 && errno == EINTR);
  if (ready != 0) return true;
  static_cast<ConnectionGuard*>(layer->sbiod_pvt)->wait_ran_out_ = true;
  errno = ETIMEDOUT;
  return false;
}

bool ConnectionGuardHooks::rule_allows(const ConnectionGuard& guard, const LDAPURLDesc* url) {
  switch (guard.rule_) {
    case ConnectionRule::kAny:
      return true;
    case ConnectionRule::kLdapsOnly:
      return url != nullptr && url->lud_scheme != nullptr &&
             std::strcmp(url->lud_scheme, "ldaps") == 0;
    case ConnectionRule::kFirstOnly:
      return guard.connections_opened_ == 0;
  }
  return false;
}

// Connection callback: runs once the TCP connection stands and before the
// library sends anything on it, TLS handshake included. Non-zero refuses.
int ConnectionGuardHooks::on_connection_added(LDAP*, Sockbuf* socket, LDAPURLDesc* url, sockaddr*,
                                              ldap_conncb* callbacks) {
  auto* guard = static_cast<ConnectionGuard*>(callbacks->lc_arg);
  if (!rule_allows(*guard, url)) return -1;
  if (ber_sockbuf_add_io(socket, &bounded_wait_layer, kLayerLevel, guard) != 0) return -1;
  ++guard->connections_opened_;
  return 0;
}

// Runs before a connection closes (socket null: the handle is going).
void ConnectionGuardHooks::on_connection_deleted(LDAP*, Sockbuf* socket, ldap_conncb*) {
  if (socket != nullptr) ber_sockbuf_remove_io(socket, &bounded_wait_layer, kLayerLevel);
}

ConnectionGuard::ConnectionGuard(ConnectionRule rule)
    : rule_(rule),
      callbacks_{ConnectionGuardHooks::on_connection_added,
                 ConnectionGuardHooks::on_connection_deleted, this} {}

void ConnectionGuard::watch(LDAP* session) {
  // The library keeps the pointer for the life of the handle.
  ldap_set_option(session, LDAP_OPT_CONNECT_CB, &callbacks_);
}
