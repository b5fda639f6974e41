// The client side of an LMTP conversation for tests: connects to a unix or
// TCP socket, writes raw text (so that tests choose line ends and
// pipelining), and reads replies line by line with a time limit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "util/unique_fd.h"

class LmtpClient {
 public:
  // Throws std::runtime_error when the connection fails.
  static LmtpClient unix_socket(const std::string& path);
  // from: the IPv4 address the connection comes from (any when empty).
  static LmtpClient tcp(const std::string& host, int port, const std::string& from = "");
  explicit LmtpClient(UniqueFd fd) : fd_(std::move(fd)) {}

  // Writes text as it is.
  void send(const std::string& text);
  // One reply line without its CR LF; empty when the server closed the
  // connection or said nothing within timeout.
  std::string line(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // One whole reply: its lines up to the one with a space after the code.
  std::vector<std::string> reply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the server closes the connection within timeout (what it
  // still sends is read and dropped).
  bool closed(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The socket, for a test that writes to it its own way.
  int fd() const { return fd_.get(); }
  // Ends the connection from this side.
  void close() { fd_.reset(); }

  // The greeting and LHLO, checked to succeed.
  void hello();
  // MAIL FROM (<> for an empty sender), one RCPT TO per recipient and DATA
  // in one write, as a pipelining client sends them; once all succeeded
  // (checked) and 354 came, the message (LF made CR LF, dot-stuffed) with
  // its final dot. Returns the replies after the data, one per recipient.
  std::vector<std::string> transaction(const std::string& sender,
                                       const std::vector<std::string>& recipients,
                                       const std::string& message);

 private:
  UniqueFd fd_;
  std::string buffer_;
};

// message with LF line ends made CR LF and lines starting with a dot
// doubled, then the final ".".
std::string lmtp_data(const std::string& message);
