// orveltd: the LMTP server that answers the mail delivered to it as orvelt
// answers each message, with its directory and Redis connections kept
// across messages.
#include <memory>

#include "daemon/daemon_main.h"
#include "daemon/lmtp_worker.h"

int main(int argc, char** argv) {
  return daemon_main(argc, argv, [](const DrainSignal&) { return std::make_unique<LmtpWorker>(); });
}
