#include "main/reply_loop.h"

#include <syslog.h>

#include "config/config.h"
#include "directory/connection.h"
#include "directory/lookup.h"
#include "mail/charset.h"
#include "mail/mta.h"
#include "util/log.h"

namespace {

// Sends text to the sender on behalf of receiver unless the block store says
// this sender was answered for this receiver too recently. The reply is
// recorded (claimed) before it goes out, so that a reply is never sent
// without its record, and concurrent runs send it once; an MTA that did not
// take it has the claim withdrawn, so that the next message is answered.
void reply_once(BlockStore& store, const std::string& sender, const std::string& receiver,
                std::string& text) {
  const Result<BlockClaim> claimed = store.claim(sender, receiver);
  if (!claimed.ok()) end_run(claimed.failure());
  const BlockClaim& claim = *claimed;
  if (!claim.granted) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/MAIL blocked: %s & %s", log_safe(sender).c_str(),
                  log_safe(receiver).c_str());
    }
    return;
  }
  convert_charset(text);
  const MtaOutcome outcome = send_reply(receiver, sender, text);
  if (outcome.status == MtaOutcome::kAccepted) return;
  store.withdraw(claim, sender, receiver);
  if (outcome.status == MtaOutcome::kNoProcess) log_fatal(LOG_ERR, "%s", outcome.reason.c_str());
  log_message(LOG_WARNING, "WARN/MAIL MTA failed (%s): reply to %s not recorded",
              outcome.reason.c_str(), log_safe(sender).c_str());
}

}  // namespace

void run_replies(const MailState& mail, BlockStore& store) {
  // Intake accepts a message only with a sender and at least one receiver.
  const std::string& sender = *mail.sender;
  {
    DirectorySession session = directory_connect();
    for (const std::string& receiver : mail.receivers) {
      StringList texts = directory_lookup(session, receiver, mail);
      for (std::string& text : texts) {
        reply_once(store, sender, receiver, text);
        std::string().swap(text);  // a large text goes as soon as it is done with
      }
    }
  }  // the session unbinds here, before the log closes
  log_close();
}
