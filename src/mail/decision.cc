#include "mail/decision.h"

#include <syslog.h>

#include <utility>

#include "config/config.h"
#include "mail/automatic.h"
#include "util/address.h"
#include "util/log.h"

namespace {

// Why a message is declined as automatic mail, or null: one of the rules'
// own names, never text of the message.
const char* automatic_mail_reason(const MailState& mail) {
  if (mail.null_sender) return "sender";
  if (mail.automatic_header != nullptr) return mail.automatic_header;
  if (mail.sender && is_robot_address(*mail.sender)) return "sender";
  return nullptr;
}

// The receiver's own addresses: receiver itself (normalised, extension cut
// by intake), then entry's addresses with their extensions cut.
StringList own_addresses(const std::string& receiver, const DirectoryEntry& entry) {
  StringList own;
  own.reserve(entry.addresses.size() + 1);
  own.push_back(receiver);
  for (const std::string& address : entry.addresses) {
    own.push_back(address);
    cut_address_extension(own.back(), g_config.recipient_delimiter);
  }
  return own;
}

// Whether address, with its extension cut, is one of own (ASCII case
// ignored).
bool is_own_address(std::string address, const StringList& own) {
  cut_address_extension(address, g_config.recipient_delimiter);
  for (const std::string& candidate : own) {
    if (equals_ignore_case(address, candidate)) return true;
  }
  return false;
}

// Whether mail names one of own in its addressing headers.
bool names_own_address(const MailState& mail, const StringList& own) {
  for (const std::string& named : addresses_named(mail)) {
    if (is_own_address(named, own)) return true;
  }
  return false;
}

}  // namespace

void decide_message(MailState& mail) {
  if (!mail.sender || mail.receivers.empty()) mail.mail_code |= CODE_NO_ADDRESS;
  const char* reason = g_config.rfc3834 ? automatic_mail_reason(mail) : nullptr;
  if (reason == nullptr) reason = mail.noreply_header;
  if (reason == nullptr) return;
  mail.mail_code |= CODE_AUTOMATIC_MAIL;
  // One line per message is enough to tell why it went unanswered.
  if (g_config.loglevel > 1) {
    log_message(LOG_INFO, "INFO/MAIL not answering automatic mail: %s", log_safe(reason).c_str());
  }
}

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

ReplyDecision decide_reply(const MailState& mail, const std::string& receiver,
                           const DirectoryEntry& entry) {
  // A declined message: intake has logged its code already.
  if (!mail_is_answered(mail)) return {false, {}};
  if (!g_config.personal) return {true, {}};
  const StringList own = own_addresses(receiver, entry);
  if (mail.sender && is_own_address(*mail.sender, own)) {
    return {false, "DEBUG/MAIL own address: " + log_safe(*mail.sender)};
  }
  if (!names_own_address(mail, own)) {
    return {false, "DEBUG/MAIL not addressed personally: " + log_safe(receiver)};
  }
  return {true, {}};
}
