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
#include "util/log.h"

namespace {

// Sends text to the sender on behalf of receiver unless the block store says
// this sender was answered for this receiver too recently. The reply is
// recorded (claimed) before it goes out, so that a reply is never sent
// without its record, and concurrent runs send it once; an MTA that did not
// take it has the claim withdrawn, so that the next message is answered.
// False when the store refused the claim.
Result<bool> reply_once(BlockStore& store, const std::string& sender, const std::string& receiver,
                        std::string& text) {
  Result<BlockClaim> claimed = store.claim(sender, receiver);
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
    const Result<bool> sent = reply_once(run.store, *mail.sender, receiver, *text);
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
