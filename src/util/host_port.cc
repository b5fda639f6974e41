#include "util/host_port.h"

std::optional<HostPort> split_host_port(std::string_view text, const char** why) {
  HostPort parts;
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return *why = "no ] after the IPv6 address", std::nullopt;
    if (close + 1 >= text.size() || text[close + 1] != ':') {
      return *why = "no :PORT after the host", std::nullopt;
    }
    parts.host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return *why = "no :PORT after the host", std::nullopt;
    parts.host = std::string(text.substr(0, colon));
    if (parts.host.find(':') != std::string::npos) {
      return *why = "an IPv6 address must be written in brackets", std::nullopt;
    }
  }
  parts.port = std::string(text.substr(colon + 1));
  if (parts.host.empty()) return *why = "no host", std::nullopt;
  if (parts.port.empty()) return *why = "no port", std::nullopt;
  return parts;
}
