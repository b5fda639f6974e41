// A network address written as "HOST:PORT", as the listening directives
// take it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct HostPort {
  std::string host;  // a name or a numeric address; an IPv6 one without its brackets
  std::string port;  // as written
};

// The host and port of "HOST:PORT", where an IPv6 HOST is written in
// brackets ("[::1]:24"): the port is what follows the last ':' (after the
// brackets, when there are any). Neither may be empty. Otherwise none, and
// *why says what is wrong: "no ] after the IPv6 address", "no :PORT after
// the host", "an IPv6 address must be written in brackets", "no host" or
// "no port".
std::optional<HostPort> split_host_port(std::string_view text, const char** why);
