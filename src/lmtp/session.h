// One LMTP session driven a step at a time, so that its command phase can
// be served by whoever watches many sockets at once (orveltd's poll loop,
// which never waits on one client) and each transaction, from its DATA on,
// by a thread that may block (orveltd's worker). lmtp_serve drives one
// session alone.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "lmtp/command.h"
#include "lmtp/connection.h"
#include "lmtp/lmtp.h"

class LmtpSession {
 public:
  using Clock = std::chrono::steady_clock;

  // What the session needs next.
  enum class Step {
    input,        // more input, or room for the replies queued (see output_pending)
    transaction,  // DATA was accepted and its 354 queued: transaction() runs next
    end,          // over: the replies queued are written, then the connection closed
  };

  // Serves the connected socket fd (the caller closes it) with a copy of
  // limits. No I/O yet.
  LmtpSession(int fd, const LmtpLimits& limits);
  LmtpSession(const LmtpSession&) = delete;
  LmtpSession& operator=(const LmtpSession&) = delete;

  // Queues the greeting "220 <host> LMTP orveltd ready".
  void greet();

  // Answers the complete command lines read so far, reading what the client
  // sent meanwhile without waiting, until more input is needed, DATA was
  // accepted, the session ended or more replies are queued than a client
  // that reads nothing should be given (then it answers no more until they
  // are written). Ends the session with "421 4.3.2 shutting down" where the
  // server's stop applies (stop_now, or stop outside a transaction). Never
  // blocks.
  Step advance();

  // The transaction whose DATA was accepted: the DATA read (within
  // data_timeout, blocking), handed to handler, and one reply per recipient
  // queued. A DATA section that did not end properly gets no replies: "421
  // 4.4.2 DATA timeout", "421 4.3.2 shutting down" (stop_now) or nothing
  // (the client went away) ends the session.
  Step transaction(LmtpHandler& handler);

  // For a session served alone (lmtp_serve): writes the queued replies
  // (waiting up to idle_timeout), then waits for input until deadline() or
  // until the server's stop applies.
  LmtpWait wait_for_input();

  // Ends the session with line as its last reply (a time-out, a stop).
  void end_with(std::string_view line);
  // Ends the session with "421 4.3.2 shutting down" when the server's stop
  // applies now; true then.
  bool stop_if_due();

  // Writes what the client takes now; false when it went away.
  bool send_now() { return connection_.send_now(); }
  // Writes the queued replies, waiting up to wait; false when the client
  // did not take them.
  bool flush(std::chrono::seconds wait) { return connection_.flush(wait); }
  bool output_pending() const { return connection_.output_pending(); }
  // Whether advance stopped for replies that wait to be written.
  bool held_back() const { return connection_.output_full(); }

  // When the session ends for idleness: idle_timeout after the last command
  // answered (a command begun and trickled does not count).
  Clock::time_point deadline() const { return deadline_; }
  // MAIL given, its DATA not yet answered.
  bool in_transaction() const { return in_transaction_; }
  bool ended() const { return ended_; }

 private:
  enum class Next { go_on, data, end };
  Next command(std::string_view line);
  Next lhlo(const LmtpCommand& command);
  Next mail(const LmtpCommand& command);
  Next rcpt(const LmtpCommand& command);
  Next data(const LmtpCommand& command);
  Next rset(const LmtpCommand& command);
  Next noop(const LmtpCommand& command);
  Next vrfy(const LmtpCommand& command);
  Next quit(const LmtpCommand& command);
  Next reply(std::string_view line) {
    connection_.reply(line);
    return Next::go_on;
  }
  void reset() {
    in_transaction_ = false;
    envelope_ = {};
  }
  void restart_idle_clock() {
    deadline_ = Clock::now() + std::chrono::seconds(limits_.idle_timeout);
  }

  const LmtpLimits limits_;
  LmtpConnection connection_;
  const std::string& host_;
  std::string line_;
  Clock::time_point deadline_;
  bool greeted_ = false;         // LHLO given
  bool in_transaction_ = false;  // MAIL given, its DATA not yet answered
  bool ended_ = false;
  LmtpEnvelope envelope_;
};
