#include "daemon/listen_address.h"

#include <sys/un.h>
#include <syslog.h>

#include <optional>
#include <utility>

#include "util/host_port.h"
#include "util/log.h"
#include "util/strings.h"

namespace {

Outcome bad_value(std::string_view text, const char* why) {
  return Outcome::config_error(LOG_ERR,
                               "CRIT/CFG lmtp_listen " + log_safe(text) + ": " + std::string(why));
}

bool has_prefix(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equals_ignore_case(text.substr(0, prefix.size()), prefix);
}

Result<ListenAddress> parse_inet(std::string_view whole, std::string_view rest) {
  const char* why = nullptr;
  std::optional<HostPort> parts = split_host_port(rest, &why);
  if (!parts) return bad_value(whole, why);
  ListenAddress address;
  address.kind = ListenAddress::kInet;
  address.host = std::move(parts->host);
  address.port = std::move(parts->port);
  return address;
}

}  // namespace

Result<ListenAddress> parse_listen_address(std::string_view text) {
  if (has_prefix(text, "unix:")) {
    ListenAddress address;
    address.path = std::string(text.substr(5));
    if (address.path.empty()) return bad_value(text, "no socket path");
    if (address.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
      return bad_value(text, "socket path too long");
    }
    if (address.path.find('\0') != std::string::npos) return bad_value(text, "NUL in the path");
    return address;
  }
  if (has_prefix(text, "inet:")) return parse_inet(text, text.substr(5));
  return bad_value(text, "expected unix:PATH or inet:HOST:PORT");
}

std::string describe(const ListenAddress& address) {
  if (address.kind == ListenAddress::kUnix) return "unix:" + address.path;
  if (address.host.find(':') != std::string::npos) {
    return "inet:[" + address.host + "]:" + address.port;
  }
  return "inet:" + address.host + ":" + address.port;
}
