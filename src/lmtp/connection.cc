#include "lmtp/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks at the server's stop flags, when it has them.
constexpr auto kStopCheck = std::chrono::milliseconds(200);
// Replies queued beyond this many bytes hold the session's further commands
// back until they are written.
constexpr size_t kOutputHigh = 16384;

// The poll timeout until deadline (0 once it passed), at most kStopCheck
// when sliced.
int poll_timeout(Clock::time_point deadline, bool sliced) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  left = std::max(left, std::chrono::milliseconds(0));
  if (sliced) left = std::min<std::chrono::milliseconds>(left, kStopCheck);
  return static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

}  // namespace

void LmtpConnection::reply(std::string_view line) {
  out_.append(line);
  out_.append("\r\n");
}

bool LmtpConnection::flush(std::chrono::seconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  while (!out_.empty() && !broken_) {
    if (!write_some(deadline)) broken_ = true;
  }
  if (broken_) out_.clear();
  return !broken_;
}

// Writes what the client takes now, waiting until deadline for room: false
// when it went away or took nothing in time.
bool LmtpConnection::write_some(Clock::time_point deadline) {
  pollfd watched{fd_, POLLOUT, 0};
  const int ready = poll(&watched, 1, poll_timeout(deadline, false));
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  // send() so that a client gone raises no SIGPIPE; write() for a descriptor
  // that is no socket.
  ssize_t written = send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (written < 0 && errno == ENOTSOCK) written = write(fd_, out_.data(), out_.size());
  if (written < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
  out_.erase(0, static_cast<size_t>(written));
  return true;
}

bool LmtpConnection::stop_applies(bool honour_stop) const {
  if (limits_.stop_now != nullptr && limits_.stop_now->load()) return true;
  return honour_stop && limits_.stop != nullptr && limits_.stop->load();
}

LmtpWait LmtpConnection::wait_readable(Clock::time_point deadline, bool honour_stop) {
  const bool sliced = limits_.stop != nullptr || limits_.stop_now != nullptr;
  for (;;) {
    if (stop_applies(honour_stop)) return LmtpWait::stopped;
    pollfd watched{fd_, POLLIN, 0};
    const int ready = poll(&watched, 1, poll_timeout(deadline, sliced));
    if (ready > 0) return LmtpWait::ready;
    if (ready < 0 && errno != EINTR) return LmtpWait::closed;
    if (ready == 0 && Clock::now() >= deadline) return LmtpWait::timeout;
  }
}

LmtpWait LmtpConnection::fill(Clock::time_point deadline, bool honour_stop) {
  if (!out_.empty()) flush(std::chrono::seconds(limits_.idle_timeout));
  if (broken_ || input_ended_) return LmtpWait::closed;
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (end_ == buffer_.size()) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) return LmtpWait::ready;  // full: the reader consumes first
  const LmtpWait waited = wait_readable(deadline, honour_stop);
  if (waited != LmtpWait::ready) return waited;
  ssize_t got;
  do {
    got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return LmtpWait::ready;
  if (got <= 0) {
    (got == 0 ? input_ended_ : broken_) = true;
    return LmtpWait::closed;
  }
  end_ += static_cast<size_t>(got);
  return LmtpWait::ready;
}

std::optional<LmtpLine> LmtpConnection::take_line(std::string& line) {
  const std::string_view input = buffered();
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos) {
    // No line end yet: the line is too long once it holds more than the
    // longest text and a CR; what is read of it is dropped.
    if (input.size() > kLmtpMaxLine + 1) {
      too_long_ = true;
      consume(input.size());
    }
    return std::nullopt;
  }
  std::string_view text = input.substr(0, newline);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const bool too_long = too_long_ || text.size() > kLmtpMaxLine;
  if (!too_long) line.assign(text);
  consume(newline + 1);
  too_long_ = false;
  return too_long ? LmtpLine::too_long : LmtpLine::line;
}

LmtpWait LmtpConnection::receive_now() {
  if (broken_ || input_ended_) return LmtpWait::closed;
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (end_ == buffer_.size() && begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) return LmtpWait::ready;
  ssize_t got;
  do {
    got = recv(fd_, buffer_.data() + end_, buffer_.size() - end_, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && errno == ENOTSOCK) {
    // A descriptor that is no socket: read only what poll says is there.
    pollfd watched{fd_, POLLIN, 0};
    if (poll(&watched, 1, 0) <= 0) return LmtpWait::timeout;
    got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return LmtpWait::timeout;
  if (got <= 0) {
    (got == 0 ? input_ended_ : broken_) = true;
    return LmtpWait::closed;
  }
  end_ += static_cast<size_t>(got);
  return LmtpWait::ready;
}

bool LmtpConnection::send_now() {
  while (!out_.empty() && !broken_) {
    ssize_t written = send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0 && errno == ENOTSOCK) written = write(fd_, out_.data(), out_.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (written <= 0) {
      broken_ = true;
      break;
    }
    out_.erase(0, static_cast<size_t>(written));
  }
  if (broken_) out_.clear();
  return !broken_;
}

bool LmtpConnection::output_full() const { return out_.size() >= kOutputHigh; }
