#include "store/block_store.h"

#include <syslog.h>

#include "util/log.h"

bool BlockStore::own_record(const std::string& receiver, const std::string& sender,
                            std::string_view value) const {
  for (const OwnClaim& own : own_claims_) {
    if (own.receiver == receiver && own.sender == sender) return own.value == value;
  }
  return false;
}

void BlockStore::note_claim(const std::string& receiver, const std::string& sender,
                            const std::string& value) {
  forget_claim(receiver, sender);
  own_claims_.push_back(OwnClaim{receiver, sender, value});
}

void BlockStore::forget_claim(const std::string& receiver, const std::string& sender) {
  std::erase_if(own_claims_, [&](const OwnClaim& own) {
    return own.receiver == receiver && own.sender == sender;
  });
}

Outcome BlockStore::pending_elsewhere(const std::string& sender, const std::string& receiver) {
  return Outcome::retry(LOG_ERR, "WARN/MAIL reply to " + log_safe(sender) + " for " +
                                     log_safe(receiver) + " pending in another run");
}

void BlockStore::confirmation_lost(const std::string& sender, const std::string& receiver) {
  log_message(LOG_ERR, "CRIT/IO blockstore: confirmation lost: %s for %s", log_safe(sender).c_str(),
              log_safe(receiver).c_str());
}

BlockStore::Found BlockStore::weigh(const ClaimRequest& request, std::string_view value,
                                    const std::optional<BlockRecord>& record, int64_t now,
                                    int64_t period) const {
  // A run's own record blocks whatever text it answered, pending or not.
  if (own_record(request.receiver, request.sender, value)) return Found::kBlocked;
  if (!record) return Found::kFree;
  if (block_record_pending(*record, now)) return Found::kPendingElsewhere;
  return block_record_blocks(*record, now, period, request.tag) ? Found::kBlocked : Found::kFree;
}
