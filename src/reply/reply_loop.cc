#include "reply/reply_loop.h"

#include <syslog.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "config/config.h"
#include "directory/connection.h"
#include "directory/lookup.h"
#include "mail/charset.h"
#include "mail/compose.h"
#include "mail/decision.h"
#include "mail/mta.h"
#include "store/block_record.h"
#include "util/address.h"
#include "util/log.h"
#include "util/stop_signal.h"

namespace {

// MtaOutcome's reason for an MTA that did not end within mtatimeout.
constexpr std::string_view kMtaTimedOut = "timed out";

// The line that tells of a reply the MTA did not take (reason says why),
// given whether its claim was withdrawn: if not, the pending record stands
// until its lease ends, and says so.
std::string failed_reply_line(const std::string& reason, const std::string& sender, bool withdrawn,
                              int64_t lease_ends) {
  std::string line = "WARN/MAIL MTA failed (" + reason + "): reply to " + log_safe(sender);
  if (withdrawn) return line + " not recorded";
  const int64_t left = std::max<int64_t>(lease_ends - time(nullptr), 0);
  return line + " not sent; its claim expires in " + std::to_string(left) + " s";
}

// Sends text to the sender on behalf of receiver unless the block store says
// this sender was answered too recently under owner, the receiver whose
// record the reply is kept in (receiver itself, or its entry's canonical
// address). The reply is claimed (a pending record) before it goes out, so
// that a reply is never sent without its record and concurrent runs send it
// once, and confirmed once the MTA took it; an MTA that did not take it has
// the claim withdrawn, so that the next message is answered, and the line
// that says so added to failed_replies (and an MTA that timed out noted in
// replier). False when the store refused the claim. A charset that cannot
// be used is the run's failure, the claim withdrawn.
Result<bool> reply_once(Replier& replier, const ClaimRequest& request, const std::string& receiver,
                        std::string& text, StringList& failed_replies) {
  BlockStore& store = replier.store;
  const std::string& sender = request.sender;
  const std::string& owner = request.receiver;
  // A stop signal from here until the claim is settled is only noted.
  const StopSignalWindow window;
  Result<BlockClaim> claimed = store.claim(request);
  if (!claimed.ok()) return claimed.failure();
  const BlockClaim& claim = *claimed;
  if (!claim.granted) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/MAIL blocked: %s & %s", log_safe(sender).c_str(),
                  log_safe(owner).c_str());
    }
    return false;
  }
  // A charset that cannot be used stops the run: the reply must not go out
  // in another charset than its header names.
  if (Outcome converted = convert_charset(text); !converted.ok()) {
    store.withdraw(claim, sender, owner);
    return converted;
  }
  const MtaOutcome outcome = send_reply(receiver, sender, text);
  if (outcome.status == MtaOutcome::kAccepted) {
    store.confirm(claim, sender, owner);
    return true;
  }
  const bool withdrawn = store.withdraw(claim, sender, owner);
  if (outcome.reason == kMtaTimedOut) replier.mta_timed_out = true;
  if (outcome.status == MtaOutcome::kNoProcess) return Outcome::retry(LOG_ERR, outcome.reason);
  // A stop is the run's end: the reply's failure needs no line of its own.
  if (stop_signal_received() != 0) return true;
  failed_replies.push_back(failed_reply_line(outcome.reason, sender, withdrawn, claim.lease_ends));
  return true;
}

// The claim of entry's reply to mail on behalf of owner (the receiver, or
// the entry's canonical address): with
// track_text the tag of the text as the directory holds it, with
// blockexpire_attribute the receiver's own interval when the entry gives
// one (a value that is no whole number is logged and blockexpire used).
ClaimRequest claim_request(const DirectoryEntry& entry, const MailState& mail,
                           const std::string& receiver, std::string owner) {
  ClaimRequest request{*mail.sender, std::move(owner), {}, std::nullopt};
  if (g_config.track_text) {
    const bool internal = reply_uses_internal_text(entry, mail);
    const OptionalText& text = internal ? entry.internal_text : entry.text;
    if (text) request.tag = block_text_tag(*text, internal);
  }
  if (g_config.blockexpire_attribute) {
    const BlockInterval interval = block_interval_of(
        entry.interval, g_config.blockexpire, g_config.blockexpire_min, g_config.blockexpire_max);
    if (interval.bad && g_config.loglevel > 0) {
      log_message(LOG_WARNING, "WARN/LDAP bad interval for %s", log_safe(receiver).c_str());
    }
    if (interval.own) request.hours = interval.hours;
  }
  return request;
}

// Whether the entries' own addresses are asked for: they are weighed only
// by the personal check.
bool aliases_in_use() { return g_config.personal && !g_config.alias_attributes.empty(); }

// Whose block record a reply to receiver with entry is kept in: with
// aliases, the entry's canonical address (the first value of the first
// alias attribute), so that a person is answered once whichever of their
// addresses was used; otherwise, or when the entry has no such address,
// receiver.
std::string record_owner(const std::string& receiver, const DirectoryEntry& entry) {
  if (!aliases_in_use()) return receiver;
  OptionalText canonical = entry.first_address;
  normalize_address(canonical);
  if (!canonical) return receiver;
  cut_address_extension(*canonical, g_config.recipient_delimiter);
  return std::move(*canonical);
}

// What one run keeps across its receivers besides the replier's own
// state: with aliases the entries answered so far (by DN), as receivers
// that are one person's addresses find the same entry, and the log lines of
// the replies the MTA did not take.
struct RunState {
  Replier& replier;
  StringList answered_entries;
  StringList failed_replies;

  // Whether entry was answered already in this run; otherwise it is
  // counted as answered from now on.
  bool answered_before(const DirectoryEntry& entry) {
    if (!aliases_in_use() || entry.dn.empty()) return false;
    for (const std::string& dn : answered_entries) {
      if (dn == entry.dn) return true;
    }
    answered_entries.push_back(entry.dn);
    return false;
  }

  Outcome load_frame() {
    std::optional<ReplyFrame>& frame = replier.frame;
    if (frame) return Outcome::done();
    Result<ReplyFrame> loaded = reply_frame_load();
    if (!loaded.ok()) return loaded.failure();
    frame = std::move(*loaded);
    return Outcome::done();
  }
};

// Answers mail on behalf of receiver, entry by entry.
Outcome answer_for(RunState& run, const std::string& receiver, const MailState& mail) {
  static const StringList kNoAttributes;
  const StringList& aliases = aliases_in_use() ? g_config.alias_attributes : kNoAttributes;
  DirectoryLink& directory = run.replier.directory;
  Result<DirectoryEntries> entries = directory.lookup(receiver, mail.sender, aliases);
  if (!entries.ok()) return entries.failure();
  // Leaving the loop before the end (the receiver settled) abandons the
  // rest of the search.
  for (;;) {
    Result<std::optional<DirectoryEntry>> next = entries->next();
    if (!next.ok()) return directory.fail(next.failure());
    std::optional<DirectoryEntry>& entry = *next;
    if (!entry) break;
    if (Outcome framed = run.load_frame(); !framed.ok()) return framed;
    const ReplyDecision decision = decide_reply(mail, receiver, *entry);
    if (!decision.answer) {
      if (g_config.loglevel > 2 && !decision.debug_line.empty()) {
        log_message(LOG_DEBUG, "%s", decision.debug_line.c_str());
      }
      continue;
    }
    if (run.answered_before(*entry)) continue;
    OptionalText text = compose_reply(*run.replier.frame, *entry, mail, receiver);
    if (!text) continue;
    const Result<bool> sent = reply_once(
        run.replier, claim_request(*entry, mail, receiver, record_owner(receiver, *entry)),
        receiver, *text, run.failed_replies);
    if (!sent.ok()) return sent.failure();
    if (const int stop = stop_signal_received(); stop != 0) {
      return Outcome::retry(LOG_ERR, "CRIT/SYS " + stop_signal_text(stop));
    }
    if (!*sent) break;  // the store refuses this receiver's further texts too
  }
  return Outcome::done();
}

// The outcome of a run that stop ended (done when every receiver was dealt
// with), given the lines of its replies that the MTA did not take: each of
// them is logged and written to standard error once. All of them are
// reported here when stop is a failure, which then ends the run; otherwise
// all but the last, which becomes the run's outcome, so that the message
// is tried again later: its receivers already answered are recorded, the
// others not.
Outcome with_failed_replies(Outcome stop, StringList& failed_replies) {
  if (failed_replies.empty()) return stop;
  const size_t reported_here = failed_replies.size() - (stop.ok() ? 1 : 0);
  for (size_t i = 0; i < reported_here; ++i) {
    log_reported(LOG_ERR, failed_replies[i].c_str());
  }
  if (!stop.ok()) return stop;
  return Outcome::retry(LOG_ERR, std::move(failed_replies.back()));
}

}  // namespace

void DirectoryLink::begin_message() {
  reused_ = session_.has_value();
  failed_ = false;
}

Outcome DirectoryLink::reopen() {
  session_.reset();
  Result<DirectorySession> opened = directory_connect();
  if (!opened.ok()) return opened.failure();
  session_.emplace(std::move(*opened));
  return Outcome::done();
}

Result<DirectoryEntries> DirectoryLink::lookup(const std::string& receiver,
                                               const OptionalText& sender,
                                               const StringList& address_attributes) {
  failed_ = false;
  const auto now = std::chrono::steady_clock::now();
  if (session_ && g_config.ldap_idle > 0 &&
      now - last_lookup_ > std::chrono::seconds(g_config.ldap_idle)) {
    // Idle for long: a new session is no slower than finding out whether
    // this one still stands, and cannot have been dropped on the way.
    session_.reset();
    reused_ = false;
  }
  if (!session_) {
    if (Outcome opened = reopen(); !opened.ok()) return fail(std::move(opened));
  }
  Result<DirectoryEntries> entries =
      directory_lookup(*session_, receiver, sender, address_attributes);
  if (!entries.ok() && reused_ && (session_->lost() || session_->timed_out())) {
    // The connection kept from an earlier message was closed, or dropped on
    // the way, while it was idle: nothing was answered yet, so a new
    // session asks again.
    reused_ = false;
    if (Outcome opened = reopen(); !opened.ok()) return fail(std::move(opened));
    entries = directory_lookup(*session_, receiver, sender, address_attributes);
  }
  if (!entries.ok()) return fail(entries.failure());
  last_lookup_ = std::chrono::steady_clock::now();
  return entries;
}

Outcome DirectoryLink::fail(Outcome failure) {
  session_.reset();
  reused_ = false;
  failed_ = true;
  return failure;
}

Outcome answer_receivers(Replier& replier, const MailState& mail) {
  RunState run{replier, {}, {}};
  Outcome outcome = Outcome::done();
  for (const std::string& receiver : mail.receivers) {
    outcome = answer_for(run, receiver, mail);
    if (!outcome.ok()) break;
  }
  return with_failed_replies(std::move(outcome), run.failed_replies);
}

Outcome run_replies(const MailState& mail, BlockStore& store) {
  Replier replier(store);
  return answer_receivers(replier, mail);
}
