#include "daemon/lmtp_worker.h"

#include <syslog.h>

#include <set>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "daemon/transaction.h"
#include "store/block_store_open.h"
#include "util/log.h"

namespace {

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
