// The buffered, deadline-bound I/O of one LMTP session: command lines and
// DATA bytes come out of one fixed-size input buffer (so pipelined commands
// and a DATA section that follows them are read alike), replies collect in
// an output buffer written before the session blocks on a read.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lmtp/lmtp.h"

// What a wait for input ended with.
enum class LmtpWait { ready, closed, timeout, stopped };

// What reading a command line gives besides a line.
enum class LmtpLine { line, too_long, closed, timeout, stopped };

// The longest command line, its CR LF not counted (RFC 5321: 512 octets
// with it).
inline constexpr size_t kLmtpMaxLine = 510;

class LmtpConnection {
 public:
  using Clock = std::chrono::steady_clock;

  LmtpConnection(int fd, const LmtpLimits& limits) : fd_(fd), limits_(limits) {}
  LmtpConnection(const LmtpConnection&) = delete;
  LmtpConnection& operator=(const LmtpConnection&) = delete;

  // Queues one reply line; CR LF is added.
  void reply(std::string_view line);
  // Writes the queued replies, waiting at most wait for the client to take
  // them. False (and the connection counts as closed) when it did not.
  bool flush(std::chrono::seconds wait);

  // Takes one whole command line from the input already read, without its
  // line end (LF or CR LF): line, or too_long for a line longer than
  // kLmtpMaxLine (dropped, also in parts while it is still being read);
  // none while no line end has come.
  std::optional<LmtpLine> take_line(std::string& line);

  // Reads what the client has sent by now, without waiting: ready when
  // something came (or the input buffer is full), timeout when nothing
  // did, closed when the client went away.
  LmtpWait receive_now();
  // Writes as much of the queued replies as the client takes now, without
  // waiting; false (and the connection counts as closed) when it went away.
  bool send_now();
  bool output_pending() const { return !out_.empty(); }
  // More replies are queued than a client that reads nothing should be
  // given: the session answers no further command until they are written.
  bool output_full() const;
  bool broken() const { return broken_; }

  // Whether the server's stop applies: stop_now, or stop when honour_stop.
  bool stop_applies(bool honour_stop) const;
  // Waits until input can be read, deadline passes or (checked at least
  // every 200 ms) the server's stop applies.
  LmtpWait wait_readable(Clock::time_point deadline, bool honour_stop);

  // The input read and not yet consumed, and its consumption.
  std::string_view buffered() const { return {buffer_.data() + begin_, end_ - begin_}; }
  void consume(size_t count) { begin_ += count; }
  // Writes the queued replies, then waits for more input until deadline.
  // stop_now applies; stop only when honour_stop.
  LmtpWait fill(Clock::time_point deadline, bool honour_stop);

 private:
  bool write_some(Clock::time_point deadline);

  int fd_;
  const LmtpLimits& limits_;
  std::vector<char> buffer_ = std::vector<char>(65536);
  size_t begin_ = 0;
  size_t end_ = 0;
  std::string out_;
  bool broken_ = false;  // the client went away, or took no reply in time
  // The client ended its writing: nothing more to read, but the replies
  // queued for what it sent are still written.
  bool input_ended_ = false;
  bool too_long_ = false;  // the line being read is longer than kLmtpMaxLine
};
