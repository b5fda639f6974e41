// orveltd's listening socket: made from lmtp_listen, or handed over by
// systemd's socket activation.
#pragma once

#include "daemon/listen_address.h"
#include "util/outcome.h"
#include "util/unique_fd.h"

// The socket systemd passed (LISTEN_PID is this process and LISTEN_FDS is
// 1: descriptor 3), marked close-on-exec so that no MTA child inherits it;
// an invalid owner when there is none. LISTEN_PID, LISTEN_FDS and
// LISTEN_FDNAMES are removed from the environment either way, so that no
// child takes them for its own. Sockets passed to this process but not
// exactly one are left alone with "WARN/SYS systemd passed <n> sockets,
// not one: lmtp_listen used". A descriptor 3 that is not a listening
// stream socket is a failure ("CRIT/SYS socket from systemd: <why>").
// Call before any thread starts: it changes the environment.
Result<UniqueFd> take_systemd_socket();

// A listening stream socket (close-on-exec) on address.
// unix: a socket file left at the path by an earlier run is removed first,
// unless a server still accepts on it ("CRIT/IO <path>: another server
// listens here"); a path that exists and is no socket is never removed
// ("CRIT/IO <path>: exists and is not a socket"). After bind the file gets
// socket_mode (chmod, so that the umask does not narrow it).
// inet: every address the host resolves to is tried in turn until one
// binds (SO_REUSEADDR set).
// Failures: "CRIT/IO lmtp_listen <address>: <reason>" at priority err.
Result<UniqueFd> listen_on(const ListenAddress& address, int socket_mode);
