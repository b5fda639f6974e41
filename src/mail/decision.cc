#include "mail/decision.h"

ReplyDecision decide_reply(const MailState& mail, const std::string& /*receiver*/,
                           const DirectoryEntry& /*entry*/) {
  // A declined message: intake has logged its code already.
  if (!mail_is_answered(mail)) return {false, {}};
  return {true, {}};
}
