#include "mail/decision.h"

#include <utility>

#include "util/address.h"

StringList addresses_named(const MailState& mail) {
  StringList addresses;
  for (const std::string& value : mail.addressing_values) {
    for (std::string& item : tokenize(value, -1, ',')) {
      OptionalText address = std::move(item);
      normalize_address(address);
      if (address) addresses.push_back(std::move(*address));
    }
  }
  return addresses;
}

ReplyDecision decide_reply(const MailState& mail, const std::string& /*receiver*/,
                           const DirectoryEntry& /*entry*/) {
  // A declined message: intake has logged its code already.
  if (!mail_is_answered(mail)) return {false, {}};
  return {true, {}};
}
