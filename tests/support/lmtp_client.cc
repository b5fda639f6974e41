#include "support/lmtp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

LmtpClient LmtpClient::unix_socket(const std::string& path) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw std::runtime_error("path too long");
  memcpy(address.sun_path, path.data(), path.size());
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect " + path + ": " + strerror(errno));
  }
  return LmtpClient(std::move(fd));
}

LmtpClient LmtpClient::tcp(const std::string& host, int port, const std::string& from) {
  sockaddr_storage storage{};
  socklen_t size;
  int family;
  if (host.find(':') != std::string::npos) {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    family = address->sin6_family = AF_INET6;
    address->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, host.c_str(), &address->sin6_addr);
    size = sizeof *address;
  } else {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    family = address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address->sin_addr);
    size = sizeof *address;
  }
  UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!from.empty()) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
      throw std::runtime_error("bind " + from + ": " + strerror(errno));
    }
  }
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&storage), size) != 0) {
    throw std::runtime_error("connect " + host + ": " + strerror(errno));
  }
  return LmtpClient(std::move(fd));
}

void LmtpClient::send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::send(fd_.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (wrote <= 0) {
      ADD_FAILURE() << "send failed: " << strerror(errno);
      return;
    }
    done += static_cast<size_t>(wrote);
  }
}

std::string LmtpClient::line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const size_t end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      std::string out = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      return out;
    }
    pollfd fd{fd_.get(), POLLIN, 0};
    if (poll(&fd, 1, remaining_ms(deadline)) <= 0) return "";
    char chunk[4096];
    const ssize_t got = recv(fd_.get(), chunk, sizeof chunk, 0);
    if (got <= 0) return "";
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

std::vector<std::string> LmtpClient::reply(std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  for (;;) {
    lines.push_back(line(timeout));
    const std::string& last = lines.back();
    if (last.size() < 4 || last[3] != '-') return lines;
  }
}

bool LmtpClient::closed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  buffer_.clear();
  for (;;) {
    pollfd fd{fd_.get(), POLLIN, 0};
    if (poll(&fd, 1, remaining_ms(deadline)) <= 0) return false;
    char chunk[4096];
    const ssize_t got = recv(fd_.get(), chunk, sizeof chunk, 0);
    if (got <= 0) return true;
  }
}

void LmtpClient::hello() {
  EXPECT_EQ(line().substr(0, 4), "220 ");
  send("LHLO client.test\r\n");
  const std::vector<std::string> lines = reply();
  EXPECT_EQ(lines.back().substr(0, 4), "250 ");
}

std::vector<std::string> LmtpClient::transaction(const std::string& sender,
                                                 const std::vector<std::string>& recipients,
                                                 const std::string& message) {
  std::string text = "MAIL FROM:<" + sender + ">\r\n";
  for (const std::string& recipient : recipients) text += "RCPT TO:<" + recipient + ">\r\n";
  send(text + "DATA\r\n");
  for (size_t i = 0; i < recipients.size() + 1; ++i) EXPECT_EQ(line().substr(0, 1), "2");
  EXPECT_EQ(line().substr(0, 3), "354");
  send(lmtp_data(message));
  std::vector<std::string> replies;
  // Answers may take a directory's or an MTA's time limit.
  for (size_t i = 0; i < recipients.size(); ++i) replies.push_back(line(std::chrono::seconds(60)));
  return replies;
}

std::string lmtp_data(const std::string& message) {
  std::string out;
  bool line_start = true;
  for (const char c : message) {
    if (line_start && c == '.') out += '.';
    if (c == '\n') out += '\r';
    out += c;
    line_start = c == '\n';
  }
  if (!line_start) out += "\r\n";
  return out + ".\r\n";
}
