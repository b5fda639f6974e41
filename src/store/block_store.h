// The block store: remembers, for each receiver, when each sender was last
// answered on its behalf, so that a sender gets one reply per blockexpire
// period. Two stores do this behind one interface: GDBM files, one per
// receiver under blockfiles (store/gdbm_block_store.h), and Redis servers
// shared by several mail servers (store/redis_store.h). orvelt claims and
// withdraws through it; orvelt-db walks, removes and imports through it.
// The records themselves are store/block_record.h's; the store that the
// configuration names is opened by store/block_store_open.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/block_record.h"
#include "util/outcome.h"

// What a claim asks for: a reply to sender on behalf of receiver, of the
// text tag names (empty: the text is not weighed), under the receiver's own
// interval in hours (none: blockexpire). A record made under an own
// interval holds it.
struct ClaimRequest {
  std::string sender;
  std::string receiver;
  std::string tag;
  std::optional<int> hours;
};

// The decision to answer one sender on behalf of one receiver, taken and
// recorded (as a pending record) before the reply goes out.
struct BlockClaim {
  bool granted = false;                 // the reply may go out now
  std::optional<std::string> stored;    // the value the claim wrote (none: nothing written)
  std::optional<std::string> previous;  // the sender's value before it (none: no record)
  int64_t lease_ends = 0;               // when the pending record stops counting, seconds
                                        // since the epoch (0: nothing written)
};

// One record as a walk finds it.
struct BlockEntry {
  std::string receiver;           // whose record
  std::string sender;             // the sender's text; for a GDBM key that is no text, the
                                  // key's bytes as stored
  std::optional<int64_t> time;    // the last reply; none when the record is unreadable
  std::string problem;            // why unreadable, when it is
  std::optional<int64_t> period;  // seconds it blocks for, when its own
  std::string tag;                // the tag of the text sent; empty: none
  std::optional<int64_t> lease;   // a pending record's lease in seconds (from time);
                                  // none: a full record
};

// What a walk hands its records to.
class BlockWalker {
 public:
  virtual ~BlockWalker() = default;
  // One record; false stops the walk (which then gives done).
  virtual bool record(const BlockEntry& entry) = 0;
  // A part of the store that could not be read, or read to its end (a
  // block file: where is its path): the walk goes on with the rest.
  virtual void unreadable(const std::string& where, const std::string& reason) = 0;
};

// How importing one record went.
enum class BlockImport { kImported, kPresent, kExpired };

class BlockStore {
 public:
  virtual ~BlockStore() = default;

  // Claims the reply of request: granted, and recorded as pending (a record
  // with a lease of block_lease_seconds(mtatimeout)) before this returns,
  // unless a record of the pair still blocks (block_record_blocks, under the
  // request's interval), or is the very record a claim of this store wrote
  // and did not withdraw: a run's own record blocks its further texts
  // whatever their tag. Granted always, touching nothing, under an interval
  // of 0 (on Redis, 0 or less). A record of another text that still runs is
  // replaced; so is one whose lease ran out, or that is from the future. A
  // receiver the store cannot keep a record for is refused (logged, nothing
  // granted).
  //
  // Another run's pending record that still holds is a failure: that run's
  // reply may be on its way, or may never go out; the message is tried
  // again once it is settled: "WARN/MAIL reply to <sender> for <receiver>
  // pending in another run" (pending_elsewhere). Every failure is handed
  // back for the run to end (priority err, the whole log text); no reply
  // may go out then.
  virtual Result<BlockClaim> claim(const ClaimRequest& request) = 0;
  // The claim under blockexpire, the text not weighed.
  Result<BlockClaim> claim(const std::string& sender, const std::string& receiver) {
    return claim(ClaimRequest{sender, receiver, {}, std::nullopt});
  }

  // Confirms claim once the MTA took its reply: the pending record becomes
  // the full one (its time, period and tag, no lease), unless the pair's
  // record no longer holds what the claim stored. Nothing for a claim that
  // wrote nothing. The write need not reach the disk before this returns.
  // A failure is logged (priority err), and then the loss itself, "CRIT/IO
  // blockstore: confirmation lost: <sender> for <receiver>" (priority err,
  // always), and the run goes on: the reply went out, so the message is
  // answered. The pending record expires with its lease, and the sender
  // may be answered once more, unless an operator puts the record back
  // (record_reply, orvelt-db add -c).
  virtual void confirm(const BlockClaim& claim, const std::string& sender,
                       const std::string& receiver) = 0;

  // Withdraws claim (a reply that did not go out) unless the pair's record
  // no longer holds what the claim stored. Nothing for a claim that wrote
  // nothing. False when the withdrawal failed (logged, priority err): the
  // pending record then stands until claim.lease_ends, and the sender's
  // reply comes with a retry after that.
  virtual bool withdraw(const BlockClaim& claim, const std::string& sender,
                        const std::string& receiver) = 0;

  // A new run begins on a store kept from the last (orveltd's worker, one
  // per message): the claims made before stop counting as this store's own
  // (a record of an earlier message blocks by its time alone, as it would
  // for another process).
  virtual void begin_run() { own_claims_.clear(); }
  // Makes sure the store can be used now (Redis: connects). A claim does so
  // by itself; orvelt-db asks before it reads anything else.
  virtual Outcome reach() = 0;

  // Hands every record to walker, sorted by receiver, then sender bytes.
  // A failure that stops the whole walk is handed back.
  virtual Outcome walk(BlockWalker& walker) = 0;

  // Every record kept for receiver, the one given (no other receiver's,
  // whatever its address shares with this one), expired and pending ones
  // included, unreadable ones with their problem, sorted by sender bytes;
  // which of them still block is the caller's to weigh
  // (block_record_blocks). A receiver without records, or without a place
  // for them, has none. A store that cannot be read is a failure, never
  // an empty list.
  virtual Result<std::vector<BlockEntry>> records_of(const std::string& receiver) = 0;

  // Deletes the record of the pair: true when there was one.
  virtual Result<bool> remove(const std::string& receiver, const std::string& sender) = 0;

  // Stores record of the pair, made elsewhere, blocking as long as it has
  // left at now (under its own period, else blockexpire), unless it has
  // expired or the pair has a record.
  virtual Result<BlockImport> import(const std::string& receiver, const std::string& sender,
                                     const BlockRecord& record, int64_t now) = 0;
  // A record of time alone.
  Result<BlockImport> import(const std::string& receiver, const std::string& sender, int64_t time,
                             int64_t now) {
    return import(receiver, sender, BlockRecord{time, std::nullopt, {}, std::nullopt}, now);
  }

  // Stores the full record of a reply to sender made at now, as a
  // confirmation leaves one without an own interval or a tag: it blocks
  // every text for blockexpire hours. Whatever record the pair had is
  // replaced. Nothing under a blockexpire of 0 or less. What an operator
  // puts back after "confirmation lost" (orvelt-db add -c).
  virtual Outcome record_reply(const std::string& receiver, const std::string& sender,
                               int64_t now) = 0;

 protected:
  // Whether value is what a claim of this store wrote for the pair, not
  // withdrawn: the store's own record.
  bool own_record(const std::string& receiver, const std::string& sender,
                  std::string_view value) const;
  void note_claim(const std::string& receiver, const std::string& sender, const std::string& value);
  void forget_claim(const std::string& receiver, const std::string& sender);
  // The failure of a claim that met another run's pending record.
  static Outcome pending_elsewhere(const std::string& sender, const std::string& receiver);
  // Logs the loss of a confirmation that failed (confirm).
  static void confirmation_lost(const std::string& sender, const std::string& receiver);

  // What a claim of request makes of the pair's value found at now, record
  // being what it reads as (none: no record the program wrote), under
  // period, the claim's interval in seconds.
  enum class Found {
    kFree,              // no record that counts: the claim writes its own
    kBlocked,           // the store's own record, or one that still blocks
    kPendingElsewhere,  // another run's pending record that still holds
  };
  Found weigh(const ClaimRequest& request, std::string_view value,
              const std::optional<BlockRecord>& record, int64_t now, int64_t period) const;

 private:
  struct OwnClaim {
    std::string receiver, sender, value;
  };
  std::vector<OwnClaim> own_claims_;
};
