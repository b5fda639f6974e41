// Mail intake: reads the incoming message, chooses the sender and the
// receivers from its header (or from the command line) and records the
// facts from which mail/decision says, in the mail code, whether the
// message is answered at all.
#pragma once

#include "mail/mail_state.h"
#include "util/byte_source.h"
#include "util/strings.h"

// Reads the message from input to its end and returns its state; the
// message is answered exactly when mail_is_answered says so. It is
// mail_for_receivers(mail_read(input, !forced_receivers.empty(), ...),
// forced_receivers): see both for the parts. Forced
// receivers (empty: none) replace the receiver headers and still meet the
// blacklist and the receiver limit; a forced sender replaces the Sender,
// Reply-To and From headers. The badheaders and blacklist databases are
// open, read only, while it runs; one that is configured but does not open
// logs "WARN/IO <path>" at loglevel 1 and above and is then treated as
// empty. With loglevel 3 and above it ends by logging
// "DEBUG/MAIL Code: <code> MessageID: <message id>" ("No ID found" without
// one).
//
// The header: lines are read up to their newline, at most 2098 bytes each:
// the rest of a longer line is read and dropped (it is never taken for a
// line of its own); a NUL byte ends a line's text. Each physical line is
// looked up in the bad-header database before unfolding (CODE_BAD_HEADER);
// a continuation line (leading blank or tab) is appended whole, blank
// included, after the line before it has lost its line break (the newline
// and a CR right before it). The header ends at the first line that is
// neither a header field ("name:", the name printable ASCII, blanks allowed
// before the colon) nor a continuation (a leading blank, and more than
// blanks and CR after it); that line stays out of the header. The empty
// line (a newline, or a CR and a newline) and a line of only blanks and CR
// are such lines. On the first line the mbox separator "From <sender>
// <date>" that some MTAs write is let through as a line without meaning.
// The header also ends at end of input, or once maxheader + 1 lines are
// counted; more than maxheader lines set CODE_TOO_MANY_HEADERS. Everything
// after the header is read in large blocks and dropped, so memory stays
// flat whatever the body's size.
//
// Each unfolded header "name: value": Sender, Reply-To and From choose the
// sender (in that order of precedence, with their mail-code bits), Subject
// is kept as it stands, Message-ID and References are trimmed of blanks
// (space, tab, CR; blank counts as none), the values of To, Cc, Bcc,
// Resent-To, Resent-Cc and Resent-Bcc are kept as they stand
// (MailState::addressing_values), and the headers named in recvheader give receivers unless
// receivers were forced. A sender or receiver must be one address (normalize_address): a list or
// header syntax counts as no address. A sender, from a header or forced, must moreover be an
// address a reply can go to (is_sender_address: one '@' with text on both sides); one that is not
// sets CODE_NO_ADDRESS, as a sender header without an address does. Every receiver, forced or from
// the header, has its address extension cut (cut_address_extension with recipient_delimiter) before
// anything else; the sender never has. A receiver that is a duplicate (ASCII case ignored) is
// dropped silently; a blacklisted one sets CODE_BLACKLISTED; beyond maxreceivers + 1 entries one
// sets CODE_TOO_MANY_RECEIVERS. No sender or no receiver sets CODE_NO_ADDRESS.
//
// It ends with decide_message (mail/decision.h), which completes the mail
// code from what was recorded: with rfc3834 set, automatic mail is declined
// with CODE_AUTOMATIC_MAIL: null_sender_forced (-s given without an
// address: the null envelope sender of a bounce), a header that
// automatic_mail_header recognises (also when the sender was forced), or a
// final sender (forced or from the header) that is_robot_address
// recognises; then, whatever rfc3834 says, a header that a noreply_header
// line marks (NoreplyHeaderRules, mail/noreply_header.h); the first reason
// is logged. A noreply_header pattern that does not compile is left in
// MailState::failure for main to end the run with. Without rfc3834,
// null_sender_forced changes nothing: the sender comes from the header.
MailState mail_intake(ByteSource& input, const StringList& forced_receivers,
                      const OptionalText& forced_sender, bool null_sender_forced = false);
// The same over a descriptor the caller owns (FdByteSource).
MailState mail_intake(int input_fd, const StringList& forced_receivers,
                      const OptionalText& forced_sender, bool null_sender_forced = false);

// The first part of mail_intake: reads the message from input to its end
// into the facts its receivers are judged against, the message's code not
// yet decided. With receivers_forced the header gives no receivers (the
// code gets CODE_FORCED_RECEIVERS; the caller names them to
// mail_for_receivers) and the blacklist is not opened here; otherwise the
// receiver headers give them, each meeting the blacklist and the limit as
// it is read. Logs only the warnings of the lookup databases.
MailState mail_read(ByteSource& input, bool receivers_forced, const OptionalText& forced_sender,
                    bool null_sender_forced);

// The second part: message (from mail_read) as it stands for receivers.
// When its receivers were forced, each of receivers (normalised) is
// admitted as a forced receiver is, in order: extension cut, duplicates
// dropped, the blacklist (opened and closed here) and the receiver limit;
// otherwise receivers is not looked at. Then decide_message and the
// "DEBUG/MAIL Code" line. One message read once can so be judged for each
// of its receivers alone: what a blacklisted or refused one sets stays in
// its own copy.
MailState mail_for_receivers(MailState message, const StringList& receivers);
