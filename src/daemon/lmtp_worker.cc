#include "daemon/lmtp_worker.h"

#include <syslog.h>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "daemon/transaction.h"
#include "store/block_store_open.h"
#include "util/log.h"
#include "util/stop_signal.h"

namespace {

constexpr const char* kShuttingDown = "451 4.3.2 shutting down";

// Clears the transaction id from the log lines of this thread when a
// transaction ends, however it ends.
class TransactionPrefix {
 public:
  TransactionPrefix() { log_set_prefix(new_transaction_id() + ": "); }
  ~TransactionPrefix() { log_set_prefix(""); }
  TransactionPrefix(const TransactionPrefix&) = delete;
  TransactionPrefix& operator=(const TransactionPrefix&) = delete;
};

}  // namespace

LmtpWorker::LmtpWorker() { adopt_configuration(); }

void LmtpWorker::adopt_configuration() {
  if (config_adopt_published() || worker_ == nullptr) {
    worker_ = std::make_unique<ReplyWorker>(block_store_open(g_config));
  }
}

std::vector<std::string> LmtpWorker::deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) {
  adopt_configuration();
  const TransactionPrefix prefix;
  const MailState message = worker_->read_message(data, envelope.sender, envelope.null_sender);
  // A client gone mid-DATA (or a DATA section that timed out) gets no
  // reply: the message was not taken, and the client tries again.
  if (!data.skip_rest()) return {};
  const std::vector<Outcome> outcomes = worker_->answer(message, envelope.recipients);
  std::vector<std::string> replies;
  replies.reserve(outcomes.size());
  const bool cut_short = stop_signal_received() != 0;
  for (const Outcome& outcome : outcomes) {
    replies.push_back(cut_short && !outcome.ok() ? kShuttingDown : lmtp_reply_line(outcome));
  }
  return replies;
}
