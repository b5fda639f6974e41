// A worker's handler of LMTP connections: each transaction answered as
// orvelt would answer the message for each recipient.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "daemon/server.h"
#include "lmtp/lmtp.h"
#include "reply/reply_worker.h"

class LmtpWorker final : public ConnectionHandler, private LmtpHandler {
 public:
  // Made in its worker thread, which holds the published configuration.
  LmtpWorker();
  // One LMTP session (lmtp_serve) with this thread's lmtp_timeout and
  // lmtp_data_timeout, ended early by drain.
  void serve(int fd, const DrainSignal& drain) override;

 private:
  // One transaction: the newest configuration adopted (a new one gets a
  // fresh ReplyWorker: directory session, block store and frame files made
  // from it), every log line prefixed with a new transaction id, the
  // message read, and, when its DATA ended properly, one reply line per
  // recipient (lmtp_reply_line).
  std::vector<std::string> deliver(const LmtpEnvelope& envelope, LmtpDataSource& data) override;
  void adopt_configuration();

  std::unique_ptr<ReplyWorker> worker_;
};
