// Whether a reply goes out: the one place that decides, from the facts
// intake recorded about the message, the receiver and the receiver's
// directory entry.
//
// The message as a whole is decided first, by intake's mail code
// (mail_is_answered: automatic mail, a bad header, no usable address ...);
// a message declined there never reaches the directory. What is left is
// decided here, once per receiver and matching entry, before the reply is
// composed or claimed.
#pragma once

#include <string>

#include "directory/entry.h"
#include "mail/mail_state.h"

struct ReplyDecision {
  bool answer = false;
  // When not answering: the debug line that says why ("DEBUG/MAIL ...",
  // values already made safe for the log), logged at loglevel 3 and above;
  // empty when the reason was logged where it was found.
  std::string debug_line;
};

// Every address that mail names in its To, Cc, Bcc, Resent-To, Resent-Cc
// and Resent-Bcc headers (MailState::addressing_values), normalised as
// receivers are (normalize_address; address extensions not cut), in the
// order of the header; what is no address is left out.
StringList addresses_named(const MailState& mail);

// Whether receiver answers mail with entry's reply. Answers every receiver
// of a message that mail_is_answered accepts; entry's values (its own
// addresses among them) are for checks that depend on the person.
ReplyDecision decide_reply(const MailState& mail, const std::string& receiver,
                           const DirectoryEntry& entry);
