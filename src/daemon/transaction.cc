#include "daemon/transaction.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>

namespace {

// RFC 5321 allows reply lines of 512 octets; the code, the enhanced code
// and CR LF take 13 of them.
constexpr size_t kMaxReason = 400;

}  // namespace

std::string lmtp_reply_line(const Outcome& outcome) {
  if (outcome.ok()) return "250 2.0.0 ok";
  std::string reason = outcome.reason.substr(0, kMaxReason);
  for (char& c : reason) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) c = '?';
  }
  return "451 4.3.0 " + reason;
}

std::string new_transaction_id() {
  static std::atomic<uint32_t> next{std::random_device{}()};
  char text[8];
  snprintf(text, sizeof text, "%06x", static_cast<unsigned>(next.fetch_add(1) & 0xffffff));
  return text;
}
