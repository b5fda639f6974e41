#include "main/reply_loop.h"

#include <syslog.h>

#include <optional>

#include "config/config.h"
#include "directory/connection.h"
#include "directory/lookup.h"
#include "mail/charset.h"
#include "mail/compose.h"
#include "mail/decision.h"
#include "mail/mta.h"
#include "store/block_record.h"
#include "util/log.h"

namespace {

// Sends text to the sender on behalf of receiver unless the block store says
// this sender was answered for this receiver too recently. The reply is
// recorded (claimed) before it goes out, so that a reply is never sent
// without its record, and concurrent runs send it once; an MTA that did not
// take it has the claim withdrawn, so that the next message is answered.
// False when the store refused the claim.
Result<bool> reply_once(BlockStore& store, const ClaimRequest& request, std::string& text) {
  const std::string& sender = request.sender;
  const std::string& receiver = request.receiver;
  Result<BlockClaim> claimed = store.claim(request);
  if (!claimed.ok()) return claimed.failure();
  const BlockClaim& claim = *claimed;
  if (!claim.granted) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/MAIL blocked: %s & %s", log_safe(sender).c_str(),
                  log_safe(receiver).c_str());
    }
    return false;
  }
  convert_charset(text);
  const MtaOutcome outcome = send_reply(receiver, sender, text);
  if (outcome.status == MtaOutcome::kAccepted) return true;
  store.withdraw(claim, sender, receiver);
  if (outcome.status == MtaOutcome::kNoProcess) return Outcome::retry(LOG_ERR, outcome.reason);
  log_message(LOG_WARNING, "WARN/MAIL MTA failed (%s): reply to %s not recorded",
              outcome.reason.c_str(), log_safe(sender).c_str());
  return true;
}

// The claim of entry's reply to mail on behalf of receiver: with
// track_text the tag of the text as the directory holds it, with
// blockexpire_attribute the receiver's own interval when the entry gives
// one (a value that is no whole number is logged and blockexpire used).
ClaimRequest claim_request(const DirectoryEntry& entry, const MailState& mail,
                           const std::string& receiver) {
  ClaimRequest request{*mail.sender, receiver, {}, std::nullopt};
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

// What one run keeps across its receivers: the directory session and the
// reply frame, read when the first entry turns up.
struct RunState {
  DirectorySession session;
  BlockStore& store;
  std::optional<ReplyFrame> frame;

  Outcome load_frame() {
    if (frame) return Outcome::done();
    Result<ReplyFrame> loaded = reply_frame_load();
    if (!loaded.ok()) return loaded.failure();
    frame = std::move(*loaded);
    return Outcome::done();
  }
};

// Answers mail on behalf of receiver, entry by entry.
Outcome answer_for(RunState& run, const std::string& receiver, const MailState& mail) {
  Result<DirectoryEntries> entries = directory_lookup(run.session, receiver, mail.sender);
  if (!entries.ok()) return entries.failure();
  while (std::optional<DirectoryEntry> entry = entries->next()) {
    if (Outcome framed = run.load_frame(); !framed.ok()) return framed;
    const ReplyDecision decision = decide_reply(mail, receiver, *entry);
    if (!decision.answer) {
      if (g_config.loglevel > 2 && !decision.debug_line.empty()) {
        log_message(LOG_DEBUG, "%s", decision.debug_line.c_str());
      }
      continue;
    }
    OptionalText text = compose_reply(*run.frame, *entry, mail, receiver);
    if (!text) continue;
    const Result<bool> sent = reply_once(run.store, claim_request(*entry, mail, receiver), *text);
    if (!sent.ok()) return sent.failure();
    if (!*sent) break;  // the store refuses this receiver's further texts too
  }
  return Outcome::done();
}

}  // namespace

Outcome run_replies(const MailState& mail, BlockStore& store) {
  Result<DirectorySession> session = directory_connect();
  if (!session.ok()) return session.failure();
  RunState run{std::move(*session), store, std::nullopt};
  for (const std::string& receiver : mail.receivers) {
    if (Outcome answered = answer_for(run, receiver, mail); !answered.ok()) return answered;
  }
  return Outcome::done();
}
