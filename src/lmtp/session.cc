// One LMTP session: the command state machine over an LmtpConnection,
// driven a step at a time.
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "lmtp/command.h"
#include "lmtp/connection.h"
#include "lmtp/lmtp.h"
#include "lmtp/session.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a last reply before the end of a session may wait for the client.
constexpr std::chrono::seconds kFarewellWait(2);
constexpr std::string_view kShuttingDown = "421 4.3.2 shutting down";
constexpr std::string_view kNoReply = "451 4.3.0 no reply";

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// A handler's reply as it may go out: one line of at most kLmtpMaxLine bytes.
std::string reply_line(std::string line) {
  if (line.empty()) return std::string(kNoReply);
  for (char& c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = ' ';
  }
  if (line.size() > kLmtpMaxLine) line.resize(kLmtpMaxLine);
  return line;
}

// The host name in the greeting and LHLO, looked up once.
const std::string& host() {
  static const std::string name = host_name();
  return name;
}

}  // namespace

LmtpSession::LmtpSession(int fd, const LmtpLimits& limits)
    : limits_(limits), connection_(fd, limits_), host_(host()) {
  restart_idle_clock();
}

void LmtpSession::greet() { connection_.reply("220 " + host_ + " LMTP orveltd ready"); }

void LmtpSession::end_with(std::string_view line) {
  if (!ended_) connection_.reply(line);
  ended_ = true;
}

bool LmtpSession::stop_if_due() {
  if (ended_ || !connection_.stop_applies(!in_transaction_)) return false;
  end_with(kShuttingDown);
  return true;
}

LmtpWait LmtpSession::wait_for_input() {
  if (!connection_.flush(std::chrono::seconds(limits_.idle_timeout))) return LmtpWait::closed;
  return connection_.wait_readable(deadline_, !in_transaction_);
}

LmtpSession::Step LmtpSession::advance() {
  while (!ended_) {
    if (connection_.output_full()) return Step::input;
    const std::optional<LmtpLine> got = connection_.take_line(line_);
    if (!got) {
      const LmtpWait received = connection_.receive_now();
      if (received == LmtpWait::ready) continue;
      if (received == LmtpWait::timeout) return Step::input;
      ended_ = true;  // the client went away
      break;
    }
    // A stop applies at a command's boundary: the line read is not answered.
    if (stop_if_due()) break;
    restart_idle_clock();
    const Next next =
        *got == LmtpLine::too_long ? reply("500 5.5.2 line too long") : command(line_);
    if (next == Next::end) ended_ = true;
    if (next == Next::data) return Step::transaction;
  }
  return Step::end;
}

// The DATA section and the replies to it, one per accepted recipient. A
// handler that stops reading early has the rest read and dropped here, so
// that the session stays in step with the client.
LmtpSession::Step LmtpSession::transaction(LmtpHandler& handler) {
  LmtpDataSource source(connection_, Clock::now() + std::chrono::seconds(limits_.data_timeout));
  std::vector<std::string> replies = handler.deliver(envelope_, source);
  if (!source.complete()) source.skip_rest();
  if (!source.complete()) {
    if (source.timed_out()) {
      end_with("421 4.4.2 DATA timeout");
    } else if (source.stopped()) {
      end_with(kShuttingDown);
    } else {
      ended_ = true;
    }
    return Step::end;
  }
  replies.resize(envelope_.recipients.size(), std::string(kNoReply));
  for (std::string& line : replies) connection_.reply(reply_line(std::move(line)));
  reset();
  restart_idle_clock();
  return Step::input;
}

LmtpSession::Next LmtpSession::command(std::string_view line) {
  if (line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos) {
    return reply("500 5.5.2 invalid character in command");
  }
  const LmtpCommand command = lmtp_split_command(line);
  using Verb = Next (LmtpSession::*)(const LmtpCommand&);
  static constexpr std::pair<std::string_view, Verb> kVerbs[] = {
      {"LHLO", &LmtpSession::lhlo}, {"MAIL", &LmtpSession::mail}, {"RCPT", &LmtpSession::rcpt},
      {"DATA", &LmtpSession::data}, {"RSET", &LmtpSession::rset}, {"NOOP", &LmtpSession::noop},
      {"VRFY", &LmtpSession::vrfy}, {"QUIT", &LmtpSession::quit}};
  for (const auto& [name, verb] : kVerbs) {
    if (command.verb == name) return (this->*verb)(command);
  }
  if (command.verb == "HELO" || command.verb == "EHLO") {
    return reply("500 5.5.1 this is an LMTP server: use LHLO");
  }
  return reply("500 5.5.1 command unrecognized");
}

LmtpSession::Next LmtpSession::lhlo(const LmtpCommand& command) {
  if (command.args.find_first_not_of(' ') == std::string_view::npos) {
    return reply("501 5.5.4 syntax: LHLO domain");
  }
  reset();
  greeted_ = true;
  connection_.reply("250-" + host_);
  connection_.reply("250-PIPELINING");
  connection_.reply("250-ENHANCEDSTATUSCODES");
  connection_.reply("250-8BITMIME");
  return reply("250 DSN");
}

LmtpSession::Next LmtpSession::mail(const LmtpCommand& command) {
  if (!greeted_) return reply("503 5.5.1 send LHLO first");
  if (in_transaction_) return reply("503 5.5.1 sender already given");
  LmtpPathArgs parsed = lmtp_parse_mail(command.args);
  if (!parsed.error.empty()) return reply(parsed.error);
  envelope_.null_sender = parsed.null_path;
  if (!parsed.null_path) envelope_.sender = std::move(parsed.address);
  in_transaction_ = true;
  return reply("250 2.1.0 sender ok");
}

LmtpSession::Next LmtpSession::rcpt(const LmtpCommand& command) {
  if (!in_transaction_) return reply("503 5.5.1 need MAIL first");
  LmtpPathArgs parsed = lmtp_parse_rcpt(command.args);
  if (!parsed.error.empty()) return reply(parsed.error);
  if (envelope_.recipients.size() >= limits_.max_recipients) {
    return reply("452 4.5.3 too many recipients");
  }
  envelope_.recipients.push_back(std::move(parsed.address));
  return reply("250 2.1.5 recipient ok");
}

LmtpSession::Next LmtpSession::data(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: DATA");
  if (!in_transaction_) return reply("503 5.5.1 need MAIL first");
  if (envelope_.recipients.empty()) return reply("503 5.5.1 need RCPT first");
  connection_.reply("354 go ahead, end with <CRLF>.<CRLF>");
  return Next::data;
}

LmtpSession::Next LmtpSession::rset(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: RSET");
  reset();
  return reply("250 2.0.0 ok");
}

LmtpSession::Next LmtpSession::noop(const LmtpCommand&) { return reply("250 2.0.0 ok"); }

LmtpSession::Next LmtpSession::vrfy(const LmtpCommand& command) {
  if (command.args.find_first_not_of(' ') == std::string_view::npos) {
    return reply("501 5.5.4 syntax: VRFY address");
  }
  return reply("252 2.5.0 cannot verify, but will take the message");
}

LmtpSession::Next LmtpSession::quit(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: QUIT");
  connection_.reply("221 2.0.0 " + host_ + " closing connection");
  return Next::end;
}

void lmtp_serve(int fd, LmtpHandler& handler, const LmtpLimits& limits) {
  LmtpSession session(fd, limits);
  session.greet();
  LmtpSession::Step step = LmtpSession::Step::input;
  while ((step = session.advance()) != LmtpSession::Step::end) {
    if (step == LmtpSession::Step::transaction) {
      session.transaction(handler);
      continue;
    }
    if (session.held_back()) {
      if (!session.flush(std::chrono::seconds(limits.idle_timeout))) return;
      continue;
    }
    switch (session.wait_for_input()) {
      case LmtpWait::ready:
        break;
      case LmtpWait::timeout:
        session.end_with("421 4.4.2 idle timeout");
        break;
      case LmtpWait::stopped:
        session.stop_if_due();
        break;
      case LmtpWait::closed:
        return;
    }
  }
  session.flush(kFarewellWait);
}
