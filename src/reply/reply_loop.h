// The reply loop: answers the accepted message on behalf of each receiver.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "directory/connection.h"
#include "directory/lookup.h"
#include "mail/compose.h"
#include "mail/mail_state.h"
#include "store/block_store.h"
#include "util/outcome.h"
#include "util/strings.h"

// The directory session that answering searches in: opened by the first
// lookup that needs it and kept for the lookups after it, in one run and,
// when the owner lives on (orveltd's worker), across messages.
class DirectoryLink {
 public:
  // A new message begins: a session held now was opened for an earlier one;
  // failed() is false again.
  void begin_message();

  // directory_lookup over the session, opened first (directory_connect)
  // when there is none, or anew when the one held has been idle for more
  // than g_config.ldap_idle seconds since its last lookup (0: never for
  // that): a connection left idle may have been dropped on the way
  // without a word, and would then hold the lookup for its whole time
  // limit. When a session kept from an earlier message fails the search
  // because it is lost (DirectorySession::lost: the server dropped it) or
  // timed out (DirectorySession::timed_out: something on the way dropped
  // it), a new one is opened once and the search repeated before it counts
  // as failed; a session opened for this message is not: orvelt's run
  // fails as it always did. After a failure the session is closed (the
  // next lookup opens a new one) and failed() is true until the next
  // lookup. The entries must go before the next lookup.
  Result<DirectoryEntries> lookup(const std::string& receiver, const OptionalText& sender,
                                  const StringList& address_attributes);

  // Whether the last lookup, or reading its entries, failed: the
  // directory cannot be used now.
  bool failed() const { return failed_; }

  // Closes the session after reading a lookup's entries failed (the
  // entries hold nothing of it then); failed() is true until the next
  // lookup. Returns failure.
  Outcome fail(Outcome failure);

 private:
  // Opens a new session in place of the one held, if any.
  Outcome reopen();

  std::optional<DirectorySession> session_;
  std::chrono::steady_clock::time_point last_lookup_;
  bool reused_ = false;
  bool failed_ = false;
};

// What answering keeps from one run to the next while its owner lives: the
// directory session, the block store and the reply frame (the header and
// footer files), read when a run first finds an entry and kept until reset.
struct Replier {
  explicit Replier(BlockStore& block_store) : store(block_store) {}
  DirectoryLink directory;
  BlockStore& store;
  std::optional<ReplyFrame> frame;
  // Set when an MTA timed out (its claim withdrawn); its owner clears it.
  bool mta_timed_out = false;
};

// One run of the reply loop (run_replies says what it does) with replier's
// directory session, store and frame, for mail's receivers. The session
// stays open when it returns, unless a lookup failed.
Outcome answer_receivers(Replier& replier, const MailState& mail);

// Sends the replies to mail, which an intake accepted (mail_is_answered),
// so it has a sender and at least one receiver, claiming each reply in
// store before it goes out: connects to the directory at the first lookup, then for each receiver
// goes through its entries one at a time, composing each text just before it is offered to the
// block store and handing it to the MTA when the store lets it through. Once the store refuses a
// receiver's text, that receiver's other entries are left alone. The header and footer files are
// read when the first entry is found, before the first claim; a message without entries never reads
// them.
//
// With personal and alias_attributes set, the lookup asks for the alias
// attributes too; each reply is then claimed under its entry's canonical
// address (the first value of the first alias attribute, normalised, its
// extension cut; the receiver when the entry has none), and an entry found
// again for a later receiver of the same run (the same DN) is not answered
// again.
//
// Each reply is claimed (a pending record) before it goes out and confirmed
// once the MTA took it. A reply that the MTA did not take (it failed, was
// killed, could not be run or timed out) has its claim withdrawn and the run
// goes on with the other receivers; its line "WARN/MAIL MTA failed
// (<reason>): reply to <sender> not recorded" (or, when the withdrawal
// failed, "... not sent; its claim expires in <N> s") is logged at priority
// err and written after "orvelt: " to standard error once, the last of them
// as the outcome. Another run's pending claim, or a stop signal noted while
// a claim was pending (util/stop_signal.h: "CRIT/SYS stopped by <signal>"),
// ends the run.
//
// Done when every receiver was dealt with and the MTA took every reply;
// otherwise the failure that stopped the run (the directory, a frame file
// that cannot be read, the block store, no MTA process) or, when nothing
// stopped it, a retry whose text is the last failed reply's line, to be
// logged by the caller. Returns after the directory session has been
// closed. Requires the log to be open and g_config loaded. It is
// answer_receivers with a replier of its own.
Outcome run_replies(const MailState& mail, BlockStore& store);
