// The reply loop: answers the accepted message on behalf of each receiver.
#pragma once

#include "mail/mail_state.h"
#include "store/block_store.h"
#include "util/outcome.h"

// Sends the replies to mail, which an intake accepted (mail_is_answered),
// so it has a sender and at least one receiver, claiming each reply in
// store before it goes out: connects to the directory, then for each receiver goes through its
// entries one at a time, composing each text just before it is offered to the block store and
// handing it to the MTA when the store lets it through. Once the store refuses a receiver's text,
// that receiver's other entries are left alone. The header and footer files are read when the first
// entry is found, before the first claim; a message without entries never reads them.
//
// With personal and alias_attributes set, the lookup asks for the alias
// attributes too; each reply is then claimed under its entry's canonical
// address (the first value of the first alias attribute, normalised, its
// extension cut; the receiver when the entry has none), and an entry found
// again for a later receiver of the same run (the same DN) is not answered
// again.
//
// A reply that the MTA did not take (it failed, was killed, could not be run
// or timed out) has its claim withdrawn and the run goes on with the other
// receivers; its line "WARN/MAIL MTA failed (<reason>): reply to <sender>
// not recorded" is logged at priority warning and written after "orvelt: "
// to standard error once, the last of them as the outcome.
//
// Done when every receiver was dealt with and the MTA took every reply;
// otherwise the failure that stopped the run (the directory, a frame file
// that cannot be read, the block store, no MTA process) or, when nothing
// stopped it, a retry whose text is the last failed reply's line, to be
// logged by the caller. Returns after the directory session has been
// closed. Requires the log to be open and g_config loaded.
Outcome run_replies(const MailState& mail, BlockStore& store);
