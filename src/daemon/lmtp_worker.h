// A worker's handler of LMTP connections: each transaction answered as
// orvelt would answer the message for each recipient.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "lmtp/lmtp.h"
#include "reply/reply_worker.h"

class LmtpWorker final : public LmtpHandler {
 public:
  // Made in its worker thread, which holds the published configuration.
  LmtpWorker();

 private:
  // One transaction: the newest configuration adopted (a new one gets a
  // fresh ReplyWorker: directory session, block store and frame files made
  // from it), every log line prefixed with a new transaction id, the
  // message read, and, when its DATA ended properly, one reply line per
  // recipient (lmtp_reply_line). When a stop cut the transaction short
  // (util/stop_signal.h), the recipients not answered get "451 4.3.2
  // shutting down".
  std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) override;
  void adopt_configuration();

  std::unique_ptr<ReplyWorker> worker_;
};
