#include "daemon/lmtp_worker.h"

#include <syslog.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string_view>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "store/block_store.h"
#include "util/log.h"

namespace {

// RFC 5321 allows reply lines of 512 octets; the code, the enhanced code
// and CR LF take 13 of them.
constexpr size_t kMaxReason = 400;

// Clears the transaction id from the log lines of this thread when a
// transaction ends, however it ends.
class TransactionPrefix {
 public:
  TransactionPrefix() { log_set_prefix(new_transaction_id() + ": "); }
  ~TransactionPrefix() { log_set_prefix(""); }
  TransactionPrefix(const TransactionPrefix&) = delete;
  TransactionPrefix& operator=(const TransactionPrefix&) = delete;
};

// Logs each distinct failure of a transaction once: the line orvelt would
// have ended its run with.
void log_failures(const std::vector<Outcome>& outcomes) {
  std::set<std::string> logged;
  for (const Outcome& outcome : outcomes) {
    if (outcome.ok() || !logged.insert(outcome.reason).second) continue;
    log_message(outcome.priority, "%s", outcome.reason.c_str());
  }
}

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

LmtpWorker::LmtpWorker() { adopt_configuration(); }

void LmtpWorker::adopt_configuration() {
  if (config_adopt_published() || worker_ == nullptr) {
    worker_ = std::make_unique<ReplyWorker>(block_store_open(g_config));
  }
}

void LmtpWorker::serve(int fd, const DrainSignal& drain) {
  adopt_configuration();
  LmtpLimits limits;
  limits.idle_timeout = g_config.lmtp_timeout;
  limits.data_timeout = g_config.lmtp_data_timeout;
  limits.stop = &drain.requested;
  limits.stop_now = &drain.immediate;
  lmtp_serve(fd, *this, limits);
}

std::vector<std::string> LmtpWorker::deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) {
  adopt_configuration();
  const TransactionPrefix prefix;
  const MailState message = worker_->read_message(data, envelope.sender, envelope.null_sender);
  // A client gone mid-DATA (or a DATA section that timed out) gets no
  // reply: the message was not taken, and the client tries again.
  if (!data.skip_rest()) return {};
  const std::vector<Outcome> outcomes = worker_->answer(message, envelope.recipients);
  log_failures(outcomes);
  std::vector<std::string> replies;
  replies.reserve(outcomes.size());
  for (const Outcome& outcome : outcomes) replies.push_back(lmtp_reply_line(outcome));
  return replies;
}
