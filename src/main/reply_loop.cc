#include "main/reply_loop.h"

#include <syslog.h>

#include "config/config.h"
#include "directory/connection.h"
#include "directory/lookup.h"
#include "mail/charset.h"
#include "mail/mta.h"
#include "store/block.h"
#include "util/log.h"

namespace {

// Sends text to the sender on behalf of receiver unless the block store says
// this sender was answered for this receiver too recently. A reply counts as
// sent once the MTA has been handed it, whatever the MTA made of it.
void reply_once(const std::string& sender, const std::string& receiver, std::string& text) {
  if (!block_check(sender, receiver)) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/MAIL blocked: %s & %s", log_safe(sender).c_str(),
                  log_safe(receiver).c_str());
    }
    return;
  }
  convert_charset(text);
  send_reply(receiver, sender, text);
  block_record(sender, receiver);
}

}  // namespace

void run_replies(const MailState& mail) {
  // Intake accepts a message only with a sender and at least one receiver.
  const std::string& sender = *mail.sender;
  {
    DirectorySession session = directory_connect();
    for (const std::string& receiver : mail.receivers) {
      StringList texts = directory_lookup(session, receiver, mail);
      for (std::string& text : texts) {
        reply_once(sender, receiver, text);
        std::string().swap(text);  // a large text goes as soon as it is done with
      }
    }
  }  // the session unbinds here, before the log closes
  log_close();
}
