// The incoming message as intake leaves it, read by the reply loop, reply
// composition and the MTA hand-off.
#pragma once

#include "util/outcome.h"
#include "util/strings.h"

// Mail code bits. The message is answered exactly when the code is below
// kCodeNoReplyFrom: the low bits only record what happened.
enum MailCode : int {
  CODE_BLACKLISTED = 0x01,         // a receiver was refused by the blacklist
  CODE_FORCED_SENDER = 0x02,       // the sender came from the command line
  CODE_FORCED_RECEIVERS = 0x04,    // the receivers came from the command line
  CODE_REPLYTO_USED = 0x08,        // a Reply-To header gave the sender
  CODE_BAD_HEADER = 0x10,          // a header line is in the bad-header database
  CODE_TOO_MANY_HEADERS = 0x20,    // more header lines than maxheader allows
  CODE_TOO_MANY_RECEIVERS = 0x40,  // a receiver was refused: the list was full
  CODE_NO_ADDRESS = 0x80,          // no usable sender or no receiver
  CODE_SENDER_USED = 0x100,        // a Sender header gave the sender
  CODE_AUTOMATIC_MAIL = 0x200,     // rfc3834 or noreply_header: automatic mail
};
inline constexpr int kCodeNoReplyFrom = 0x10;

struct MailState {
  // Normalised, address extensions cut (recipient_delimiter), no duplicates
  // (ASCII case ignored).
  StringList receivers;
  OptionalText sender;  // the reply target, normalised
  int mail_code = 0;
  // The last Message-ID header's value, unfolded and trimmed of blanks
  // (space, tab, CR); absent when there is none or it is blank.
  OptionalText message_id;
  OptionalText subject;  // the last Subject header, unnormalised

  // Facts for the decision whether to answer a receiver (mail/decision):
  // the values of the To, Cc, Bcc, Resent-To, Resent-Cc and Resent-Bcc
  // headers, unfolded, as they stand and in the order of the header
  // (addresses_named in mail/decision reads the addresses out of them, only
  // when a decision needs them), and the last References header, trimmed
  // of blanks (absent when there is none or it is blank).
  StringList addressing_values;
  OptionalText references;
  // The name of the first header that marks the message as automatic mail
  // (automatic_mail_header's own text; looked for only with rfc3834), or
  // null.
  const char* automatic_header = nullptr;
  // The configured name of the first noreply_header line whose header and
  // pattern the message matched (looked for whatever rfc3834 says), or null.
  const char* noreply_header = nullptr;
  // Not done when a noreply_header pattern did not compile: the run ends
  // with it, the message unanswered.
  Outcome failure;
  // -s was given without an address, and no sender was forced: the MTA's
  // null envelope sender, that of a bounce or a delivery notice.
  bool null_sender = false;
};

// True when the message is to be answered: its code is below
// kCodeNoReplyFrom. Such a message has a sender and at least one receiver.
inline bool mail_is_answered(const MailState& mail) { return mail.mail_code < kCodeNoReplyFrom; }
