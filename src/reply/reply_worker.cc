#include "reply/reply_worker.h"

#include <syslog.h>

#include <utility>

#include "mail/intake.h"
#include "util/address.h"
#include "util/log.h"
#include "util/stop_signal.h"

ReplyWorker::ReplyWorker(std::unique_ptr<BlockStore> store)
    : store_(std::move(store)), replier_(*store_) {}

MailState ReplyWorker::read_message(ByteSource& source, const OptionalText& sender,
                                    bool null_sender) {
  // What orvelt's -s does with its argument: an address, or the null sender.
  OptionalText forced_sender = sender;
  normalize_address(forced_sender);
  const bool null_sender_forced = null_sender || (sender && !forced_sender);
  return mail_read(source, true, forced_sender, null_sender_forced);
}

std::vector<Outcome> ReplyWorker::answer(const MailState& message, const StringList& recipients) {
  store_->begin_run();
  replier_.directory.begin_message();
  replier_.mta_timed_out = false;
  std::vector<Outcome> outcomes;
  outcomes.reserve(recipients.size());
  bool stop_logged = false;
  for (const std::string& recipient : recipients) {
    if (!outcomes.empty() && replier_.directory.failed()) {
      outcomes.push_back(outcomes.back());
      continue;
    }
    const int stop = stop_signal_received();
    if (stop != 0) {
      // A stop that cut the transaction short: the others are not tried.
      outcomes.push_back(Outcome::retry(LOG_ERR, "CRIT/SYS " + stop_signal_text(stop)));
    } else if (replier_.mta_timed_out) {
      // One MTA that hung is enough: the others would wait as long.
      outcomes.push_back(
          Outcome::retry(LOG_ERR, "WARN/MAIL MTA failed (not tried after a time-out): reply to " +
                                      log_safe(message.sender.value_or("")) + " not recorded"));
    } else {
      outcomes.push_back(answer_one(message, recipient));
    }
    // Each recipient's failure is logged, a stop's once.
    const Outcome& outcome = outcomes.back();
    if (outcome.ok() || (stop_signal_received() != 0 && std::exchange(stop_logged, true))) continue;
    log_message(outcome.priority, "%s", outcome.reason.c_str());
  }
  return outcomes;
}

Outcome ReplyWorker::answer_one(const MailState& message, const std::string& recipient) {
  // As orvelt's -a: normalised; one that is no address is left out, and a
  // message without receivers is not answered.
  OptionalText receiver = recipient;
  normalize_address(receiver);
  StringList receivers;
  if (receiver) receivers.push_back(std::move(*receiver));
  const MailState mail = mail_for_receivers(message, receivers);
  if (!mail.failure.ok()) return mail.failure;
  if (!mail_is_answered(mail)) return Outcome::done();
  return answer_receivers(replier_, mail);
}
