// Whether a reply goes out: the one place that decides, from the facts
// intake recorded about the message, the receiver and the receiver's
// directory entry.
//
// The message as a whole is decided first, when intake has read it
// (decide_message completes its mail code; mail_is_answered then says
// whether it is answered at all): a message declined there never reaches
// the directory. Each receiver is decided again, once per matching entry,
// before its reply is composed or claimed (decide_reply).
#pragma once

#include <string>

#include "directory/entry.h"
#include "mail/mail_state.h"

// Completes mail's code from the facts intake recorded: CODE_NO_ADDRESS
// when there is no sender or no receiver; then, with rfc3834 set,
// CODE_AUTOMATIC_MAIL for the first reason that applies, in this order: the
// null envelope sender (MailState::null_sender), a header that marks
// automatic mail (MailState::automatic_header), a sender that
// is_robot_address recognises; then, whatever rfc3834 says, a header that a
// noreply_header line marks (MailState::noreply_header). That reason
// ("sender", or the header's name, for noreply_header as configured) is
// logged as "INFO/MAIL not answering automatic mail: <reason>" at
// loglevel 2 and above. Bad headers, too many header lines or receivers
// and blacklisted receivers are marked by intake as it meets them.
void decide_message(MailState& mail);

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

// Whether receiver answers mail with entry's reply. Never for a message
// that mail_is_answered declines. Otherwise every receiver is answered,
// unless personal is set; then the receiver's own addresses are receiver
// and entry.addresses, each compared with its address extension cut
// (recipient_delimiter) and ASCII case ignored, and the receiver is
// answered only when
//   1. the sender, its extension cut for this comparison, is none of them
//      ("DEBUG/MAIL own address: <sender>"), and
//   2. addresses_named holds one of them, its extension cut
//      ("DEBUG/MAIL not addressed personally: <receiver>").
// The debug line of the first rule that fails is handed back.
ReplyDecision decide_reply(const MailState& mail, const std::string& receiver,
                           const DirectoryEntry& entry);
