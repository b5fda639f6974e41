// Feeds arbitrary client input (commands, pipelined or not, and DATA) to an
// LMTP session over a socketpair, and checks the replies it writes.
//
// Input layout: the bytes the client sends, then the end of its writing.
// The handler reads each DATA a few bytes at a time (so that a line end or
// the final dot falls across reads) and answers every recipient with
// kDelivered.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "fuzz_support.h"
#include "lmtp/lmtp.h"
#include "util/unique_fd.h"

namespace {

constexpr std::string_view kDelivered = "250 2.0.0 delivered";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool safe_text(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  return true;
}

class CountingHandler : public LmtpHandler {
 public:
  std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) override {
    FUZZ_CHECK(!envelope.recipients.empty());
    FUZZ_CHECK(envelope.null_sender != envelope.sender.has_value());
    if (envelope.sender) FUZZ_CHECK(!envelope.sender->empty() && safe_text(*envelope.sender));
    for (const std::string& recipient : envelope.recipients) {
      FUZZ_CHECK(!recipient.empty() && safe_text(recipient));
    }
    char buffer[3];
    ssize_t got;
    while ((got = data.read(buffer, sizeof buffer)) > 0) {
    }
    FUZZ_CHECK(data.read(buffer, sizeof buffer) == got);  // the end stays the end
    FUZZ_CHECK((got == 0) == data.complete());
    if (!data.complete()) return {};
    answered += envelope.recipients.size();
    return std::vector<std::string>(envelope.recipients.size(), std::string(kDelivered));
  }
  size_t answered = 0;
};

// Every reply line: three digits, a space or a dash, at most 512 bytes with
// its CR LF. Gives the number of kDelivered lines.
size_t check_replies(std::string_view replies) {
  size_t delivered = 0;
  while (!replies.empty()) {
    const size_t end = replies.find("\r\n");
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view line = replies.substr(0, end);
    FUZZ_CHECK(line.size() >= 4 && line.size() <= 510);
    FUZZ_CHECK(is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]));
    FUZZ_CHECK(line[3] == ' ' || line[3] == '-');
    FUZZ_CHECK(safe_text(line));
    if (line == kDelivered) ++delivered;
    replies.remove_prefix(end + 2);
  }
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  const UniqueFd client(fds[0]);
  UniqueFd server(fds[1]);
  std::thread writer([&] {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = send(client.get(), data + done, size - done, MSG_NOSIGNAL);
      if (n <= 0) break;  // the session ended (QUIT) before all was sent
      done += static_cast<size_t>(n);
    }
    shutdown(client.get(), SHUT_WR);
  });
  std::string replies;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t got;
    while ((got = read(client.get(), buffer, sizeof buffer)) > 0) {
      replies.append(buffer, static_cast<size_t>(got));
    }
  });
  CountingHandler handler;
  LmtpLimits limits;
  limits.idle_timeout = 10;
  limits.data_timeout = 10;
  lmtp_serve(server.get(), handler, limits);
  server.reset();
  writer.join();
  reader.join();
  FUZZ_CHECK(check_replies(replies) == handler.answered);
  return 0;
}
