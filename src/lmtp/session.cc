// One LMTP session: the command state machine over an LmtpConnection.
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "lmtp/command.h"
#include "lmtp/connection.h"
#include "lmtp/lmtp.h"

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

enum class Next { go_on, end };

class Session {
 public:
  Session(int fd, LmtpHandler& handler, const LmtpLimits& limits)
      : connection_(fd, limits), handler_(handler), limits_(limits), host_(host_name()) {}
  void run();

 private:
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
  // The last reply of the session.
  Next farewell(std::string_view line) {
    connection_.reply(line);
    connection_.flush(kFarewellWait);
    return Next::end;
  }
  void reset() {
    in_transaction_ = false;
    envelope_ = {};
  }

  LmtpConnection connection_;
  LmtpHandler& handler_;
  const LmtpLimits& limits_;
  const std::string host_;
  bool greeted_ = false;         // LHLO given
  bool in_transaction_ = false;  // MAIL given, its DATA not yet answered
  LmtpEnvelope envelope_;
};

void Session::run() {
  connection_.reply("220 " + host_ + " LMTP orveltd ready");
  std::string line;
  Next next = Next::go_on;
  while (next == Next::go_on) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits_.idle_timeout);
    switch (connection_.read_line(line, deadline, in_transaction_)) {
      case LmtpLine::line:
        next = command(line);
        break;
      case LmtpLine::too_long:
        next = reply("500 5.5.2 line too long");
        break;
      case LmtpLine::closed:
        next = Next::end;
        break;
      case LmtpLine::timeout:
        next = farewell("421 4.4.2 idle timeout");
        break;
      case LmtpLine::stopped:
        next = farewell(kShuttingDown);
        break;
    }
  }
}

Next Session::command(std::string_view line) {
  if (line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos) {
    return reply("500 5.5.2 invalid character in command");
  }
  const LmtpCommand command = lmtp_split_command(line);
  using Verb = Next (Session::*)(const LmtpCommand&);
  static constexpr std::pair<std::string_view, Verb> kVerbs[] = {
      {"LHLO", &Session::lhlo}, {"MAIL", &Session::mail}, {"RCPT", &Session::rcpt},
      {"DATA", &Session::data}, {"RSET", &Session::rset}, {"NOOP", &Session::noop},
      {"VRFY", &Session::vrfy}, {"QUIT", &Session::quit}};
  for (const auto& [name, verb] : kVerbs) {
    if (command.verb == name) return (this->*verb)(command);
  }
  if (command.verb == "HELO" || command.verb == "EHLO") {
    return reply("500 5.5.1 this is an LMTP server: use LHLO");
  }
  return reply("500 5.5.1 command unrecognized");
}

Next Session::lhlo(const LmtpCommand& command) {
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

Next Session::mail(const LmtpCommand& command) {
  if (!greeted_) return reply("503 5.5.1 send LHLO first");
  if (in_transaction_) return reply("503 5.5.1 sender already given");
  LmtpPathArgs parsed = lmtp_parse_mail(command.args);
  if (!parsed.error.empty()) return reply(parsed.error);
  envelope_.null_sender = parsed.null_path;
  if (!parsed.null_path) envelope_.sender = std::move(parsed.address);
  in_transaction_ = true;
  return reply("250 2.1.0 sender ok");
}

Next Session::rcpt(const LmtpCommand& command) {
  if (!in_transaction_) return reply("503 5.5.1 need MAIL first");
  LmtpPathArgs parsed = lmtp_parse_rcpt(command.args);
  if (!parsed.error.empty()) return reply(parsed.error);
  if (envelope_.recipients.size() >= limits_.max_recipients) {
    return reply("452 4.5.3 too many recipients");
  }
  envelope_.recipients.push_back(std::move(parsed.address));
  return reply("250 2.1.5 recipient ok");
}

// The DATA section and the replies to it, one per accepted recipient. A
// handler that stops reading early has the rest read and dropped here, so
// that the session stays in step with the client.
Next Session::data(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: DATA");
  if (!in_transaction_) return reply("503 5.5.1 need MAIL first");
  if (envelope_.recipients.empty()) return reply("503 5.5.1 need RCPT first");
  connection_.reply("354 go ahead, end with <CRLF>.<CRLF>");
  LmtpDataSource source(connection_, Clock::now() + std::chrono::seconds(limits_.data_timeout));
  std::vector<std::string> replies = handler_.deliver(envelope_, source);
  if (!source.complete()) source.skip_rest();
  if (!source.complete()) {
    if (source.timed_out()) return farewell("421 4.4.2 DATA timeout");
    if (source.stopped()) return farewell(kShuttingDown);
    return Next::end;
  }
  replies.resize(envelope_.recipients.size(), std::string(kNoReply));
  for (std::string& line : replies) connection_.reply(reply_line(std::move(line)));
  reset();
  return Next::go_on;
}

Next Session::rset(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: RSET");
  reset();
  return reply("250 2.0.0 ok");
}

Next Session::noop(const LmtpCommand&) { return reply("250 2.0.0 ok"); }

Next Session::vrfy(const LmtpCommand& command) {
  if (command.args.find_first_not_of(' ') == std::string_view::npos) {
    return reply("501 5.5.4 syntax: VRFY address");
  }
  return reply("252 2.5.0 cannot verify, but will take the message");
}

Next Session::quit(const LmtpCommand& command) {
  if (command.has_args) return reply("501 5.5.4 syntax: QUIT");
  return farewell("221 2.0.0 " + host_ + " closing connection");
}

}  // namespace

void lmtp_serve(int fd, LmtpHandler& handler, const LmtpLimits& limits) {
  Session session(fd, handler, limits);
  session.run();
}
