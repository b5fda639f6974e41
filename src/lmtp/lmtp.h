// The LMTP protocol (RFC 2033) over one connected socket: commands, replies,
// pipelining and the DATA section, with nothing of what a delivery does. The
// server gives a handler each transaction's envelope and a reader of its
// DATA, and writes the handler's replies, one per recipient.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "util/byte_source.h"
#include "util/strings.h"

// What MAIL FROM and the accepted RCPT TO commands of one transaction gave.
struct LmtpEnvelope {
  OptionalText sender;                  // MAIL FROM's address; none for <>
  bool null_sender = false;             // MAIL FROM:<>
  std::vector<std::string> recipients;  // one per accepted RCPT: the ORCPT=rfc822;ADDRESS
                                        // address (xtext-decoded) when given, else the
                                        // RCPT address
};

// How long a session waits, and how a server ends it early.
struct LmtpLimits {
  int idle_timeout = 300;  // seconds waiting for a command line (or for the client to
                           // take a reply); then 421 and the end of the session
  int data_timeout = 600;  // seconds for the whole DATA section; then 421 and the end
  // Set when the server drains: a session outside a transaction (no MAIL
  // given, or its DATA answered) ends at its next command with "421 4.3.2
  // shutting down"; a transaction under way is finished first.
  const std::atomic<bool>* stop = nullptr;
  // Set when the drain's grace is over: the session ends with the same 421 at
  // its next command even within a transaction, and a DATA section being read
  // ends as if the client had gone (no replies for it, then the 421).
  const std::atomic<bool>* stop_now = nullptr;
  // RCPT commands accepted per transaction; later ones get 452.
  size_t max_recipients = 1000;
};

class LmtpConnection;

// The DATA of one transaction as the message it carries: dot-stuffing
// undone, CR LF read as LF (a bare LF ends a line too; a CR not before LF
// is kept), ending before the line ".". Reads through the session's bounded
// buffer: the message is never held whole.
class LmtpDataSource final : public ByteSource {
 public:
  // Reads the DATA from connection's input until deadline.
  LmtpDataSource(LmtpConnection& connection, std::chrono::steady_clock::time_point deadline);
  // The count read, 0 once the final "." line is read, -1 when the client
  // went away, the DATA timeout passed or the server stopped the session
  // (and on every read after that).
  ssize_t read(char* buffer, size_t size) override;
  // True once the final "." was read.
  bool complete() const { return state_ == State::done; }
  // Why read() returned -1, once it has.
  bool timed_out() const { return failure_ == Failure::timeout; }
  bool stopped() const { return failure_ == Failure::stopped; }
  // Reads and drops what is left of the DATA: true when it ended with its
  // final ".".
  bool skip_rest();

 private:
  enum class State { line_start, middle, cr, dot, dot_cr, done };
  enum class Failure { none, closed, timeout, stopped };
  void step(char c);
  void emit(char c);

  LmtpConnection& connection_;
  std::chrono::steady_clock::time_point deadline_;
  State state_ = State::line_start;
  Failure failure_ = Failure::none;
  // Where step() writes: the caller's buffer, then (one byte at most) carry_.
  char* out_ = nullptr;
  size_t out_size_ = 0;
  size_t out_count_ = 0;
  std::optional<char> carry_;
};

class LmtpHandler {
 public:
  virtual ~LmtpHandler() = default;
  // Delivers one transaction: one reply line per recipient, in order, each
  // "<code> <enhanced> <text>" (e.g. "250 2.0.0 ok"). Reads data to its end
  // first; if !data.complete() afterwards, returns nothing (no reply is
  // sent). The session writes exactly one line per recipient: missing ones
  // become "451 4.3.0 no reply", extra ones are dropped, and control bytes
  // in a line become spaces.
  virtual std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) = 0;
};

// Serves one connected socket until QUIT, the client's end, a timeout or a
// stop. Greets with "220 <host> LMTP orveltd ready" (host: gethostname).
// Returns when the connection is done; the caller closes fd. Writes never
// raise SIGPIPE.
void lmtp_serve(int fd, LmtpHandler& handler, const LmtpLimits& limits);
