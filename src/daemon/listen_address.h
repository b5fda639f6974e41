// Where orveltd listens, as the lmtp_listen directive names it.
#pragma once

#include <string>
#include <string_view>

#include "util/outcome.h"

struct ListenAddress {
  enum Kind { kUnix, kInet };
  Kind kind = kUnix;
  std::string path;  // kUnix: the socket file
  std::string host;  // kInet: a name or a numeric address (an IPv6 one without its brackets)
  std::string port;  // kInet: a number or a service name
};

// Reads "unix:PATH" (PATH absolute or relative, non-empty, short enough for
// a unix socket address) or "inet:HOST:PORT", where an IPv6 HOST is written
// in brackets ("inet:[::1]:24"). The prefix is matched in any letter case.
// Anything else is a configuration error whose text names the value:
// "CRIT/CFG lmtp_listen <value>: <why>" at priority err.
Result<ListenAddress> parse_listen_address(std::string_view text);

// The address as lmtp_listen writes it, for log lines.
std::string describe(const ListenAddress& address);
