#include "daemon/listener.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "util/log.h"

namespace {

// Pending connections the kernel keeps before accept: the main thread
// accepts at once, so this only has to cover a burst.
constexpr int kBacklog = SOMAXCONN;

constexpr int kSystemdFirstFd = 3;

Outcome listen_failure(const ListenAddress& address, const std::string& reason) {
  return Outcome::retry(LOG_ERR,
                        "CRIT/IO lmtp_listen " + log_safe(describe(address)) + ": " + reason);
}

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.data(), path.size());  // length checked when parsed
  return address;
}

// Whether a server accepts connections on the socket file at path.
bool unix_socket_live(const std::string& path) {
  const UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  const sockaddr_un address = unix_address(path);
  return connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Clears the way for a new socket file at path: none there, or a stale
// socket removed.
Outcome remove_stale_socket(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return Outcome::done();
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": " + strerror(errno));
  }
  if (!S_ISSOCK(status.st_mode)) {
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": exists and is not a socket");
  }
  if (unix_socket_live(path)) {
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": another server listens here");
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return Outcome::retry(LOG_ERR, "CRIT/IO " + log_safe(path) + ": " + strerror(errno));
  }
  return Outcome::done();
}

Result<UniqueFd> listen_unix(const ListenAddress& address, int socket_mode) {
  const Outcome cleared = remove_stale_socket(address.path);
  if (!cleared.ok()) return cleared;
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return listen_failure(address, strerror(errno));
  const sockaddr_un sun = unix_address(address.path);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&sun), sizeof sun) != 0) {
    return listen_failure(address, strerror(errno));
  }
  if (chmod(address.path.c_str(), static_cast<mode_t>(socket_mode)) != 0 ||
      listen(fd.get(), kBacklog) != 0) {
    const int error = errno;
    unlink(address.path.c_str());
    return listen_failure(address, strerror(error));
  }
  return fd;
}

struct AddrinfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

Result<UniqueFd> listen_inet(const ListenAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (status != 0) return listen_failure(address, gai_strerror(status));
  const std::unique_ptr<addrinfo, AddrinfoFree> list(found);
  std::string reason = "no address";
  for (const addrinfo* each = list.get(); each != nullptr; each = each->ai_next) {
    UniqueFd fd(socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol));
    const int on = 1;
    if (fd.valid() && setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd.get(), each->ai_addr, each->ai_addrlen) == 0 && listen(fd.get(), kBacklog) == 0) {
      return fd;
    }
    reason = strerror(errno);
  }
  return listen_failure(address, reason);
}

void unset_systemd_environment() {
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
}

}  // namespace

Result<UniqueFd> take_systemd_socket() {
  const char* pid = getenv("LISTEN_PID");
  const char* fds = getenv("LISTEN_FDS");
  const bool for_us = pid != nullptr && fds != nullptr && std::to_string(getpid()) == pid;
  const std::string count = for_us ? fds : "";
  unset_systemd_environment();
  if (for_us && count != "1") {
    log_message(LOG_WARNING, "WARN/SYS systemd passed %s sockets, not one: lmtp_listen used",
                log_safe(count).c_str());
  }
  if (count != "1") return UniqueFd();
  int accepting = 0;
  socklen_t size = sizeof accepting;
  if (getsockopt(kSystemdFirstFd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0) {
    return Outcome::retry(LOG_ERR, std::string("CRIT/SYS socket from systemd: ") + strerror(errno));
  }
  if (accepting == 0) {
    return Outcome::retry(LOG_ERR, "CRIT/SYS socket from systemd: not listening");
  }
  if (fcntl(kSystemdFirstFd, F_SETFD, FD_CLOEXEC) != 0) {
    return Outcome::retry(LOG_ERR, std::string("CRIT/SYS socket from systemd: ") + strerror(errno));
  }
  return UniqueFd(kSystemdFirstFd);
}

Result<UniqueFd> listen_on(const ListenAddress& address, int socket_mode) {
  if (address.kind == ListenAddress::kUnix) return listen_unix(address, socket_mode);
  return listen_inet(address);
}
