// The reply loop: answers the accepted message on behalf of each receiver.
#pragma once

#include "mail/mail_state.h"
#include "store/block_store.h"

// Sends the replies to mail, which an intake accepted (mail_is_answered),
// so it has a sender and at least one receiver: connects to the directory,
// looks up each receiver's texts and hands each text that the block store
// lets through to the MTA, claiming each reply in store. A store failure
// ends the run (end_run) before that reply goes out. Requires the log to be
// open and g_config loaded; closes the log at the end.
void run_replies(const MailState& mail, BlockStore& store);
