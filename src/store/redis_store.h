// The block store on Redis servers (blockstore names them), shared by the
// program on several mail servers so that a sender is answered once between
// them; the keys and values are store/block_record.h's. Every key expires
// by itself when it stops blocking.
//
// hiredis is linked in statically and only called here: a run with the
// GDBM store never touches it.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/block_record.h"
#include "store/block_store.h"
#include "util/outcome.h"
#include "util/strings.h"

struct Config;

// How long a server may take to accept a connection and to answer a
// command before it counts as down.
inline constexpr int kRedisTimeoutSeconds = 5;

// When the work on a connection must be done, at the latest.
using RedisDeadline = std::chrono::steady_clock::time_point;

// How long the one new connection after a lost one may take, made and
// answered, whatever the number of servers: the reply went out before, and
// the run waits no longer for its record than this.
inline constexpr int kRedisRetrySeconds = 5;

// One server of the blockstore directive.
struct RedisAddress {
  std::string path;  // unix:/PATH: the socket; empty for redis://
  std::string host;
  int port = 6379;
  int db = 0;
};

// redis://HOST[:PORT][/DB] (HOST may be [IPv6]) or unix:/PATH; none for
// anything else.
std::optional<RedisAddress> redis_parse_address(std::string_view text);

// Owns one redisContext, or nothing.
class RedisConnection {
 public:
  RedisConnection() = default;
  explicit RedisConnection(redisContext* context) : context_(context) {}
  redisContext* get() const { return context_.get(); }
  explicit operator bool() const { return context_ != nullptr; }
  void reset() { context_.reset(); }
  // errno after the last failure of the connection: hiredis reports a
  // timeout as any other failure of the socket.
  int failure_errno() const { return failure_errno_; }
  void note_failure_errno(int error) const { failure_errno_ = error; }

 private:
  mutable int failure_errno_ = 0;
  struct Free {
    void operator()(redisContext* c) const { redisFree(c); }
  };
  std::unique_ptr<redisContext, Free> context_;
};

// Owns one reply of hiredis, or nothing (the connection failed).
struct RedisReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

// Sends one command, its words taken byte for byte, and waits for the
// reply. None when the connection failed; the reason is then
// redis_failure(connection).
RedisReply redis_command(const RedisConnection& connection, const std::vector<std::string>& words);

// Why the last command or connection failed: hiredis's text, or "no answer
// within 5 seconds" for a timeout.
std::string redis_failure(const RedisConnection& connection);

// The outcome of opening one server.
struct RedisOpened {
  RedisConnection connection;  // set when usable
  bool refused = false;        // the server refused the password or the DB:
                               // a fault of the configuration, not of the server
  std::string reason;          // why not, when not
};

// Connects to the server at address (a blockstore word) with the time limit
// of kRedisTimeoutSeconds for the connection and every command, then sends
// AUTH when password is given and SELECT for a DB other than 0. With a
// deadline, each of these steps also ends by then (redis_limit_to). The
// socket is not inherited by programs the process starts.
RedisOpened redis_open(const std::string& address, const OptionalText& password,
                       const std::optional<RedisDeadline>& deadline = std::nullopt);

// Sets the time limit of connection's next commands: kRedisTimeoutSeconds,
// or what is left until deadline when that is less (a millisecond at the
// least). False when the limit could not be set.
bool redis_limit_to(const RedisConnection& connection,
                    const std::optional<RedisDeadline>& deadline = std::nullopt);

// The server that redis_failover settled on, or why none.
struct RedisChoice {
  RedisConnection connection;  // set when a server is usable
  std::string server;          // its blockstore word; or the one that refused
  bool refused = false;        // server refused the password or the DB: the
                               // search stopped there (reason says why)
  std::string reason;
};

// The one failover: opens the servers of servers from index next on, in
// order (redis_open), and settles on the first that opens. One that cannot
// be reached or does not answer in time is reported to skipped and the next
// one tried; one that refuses stops the search. next is left at the server
// after the one settled on, so that a caller that finds it unusable after
// all (a replica) goes on from there. Neither connection nor refused: no
// server was left. With a deadline, no server is tried once it has passed,
// and each is opened by then (redis_open).
class RedisVoice;
RedisChoice redis_failover(const StringList& servers, size_t& next, const OptionalText& password,
                           const RedisVoice& voice,
                           const std::optional<RedisDeadline>& deadline = std::nullopt);

// How the store speaks: orvelt logs, orvelt-db writes to the operator. (An
// interface rather than a record of std::function members: those would
// bring the C++ library's type information into every run of orvelt.)
class RedisVoice {
 public:
  virtual ~RedisVoice() = default;
  // Tells of a server passed over.
  virtual void skipped(const std::string& server, const std::string& reason) const = 0;
  // The text of a failure handed back: a server that refused (the
  // password, a command), and one whose command failed.
  virtual std::string refused(const std::string& server, const std::string& reason) const = 0;
  virtual std::string failed(const std::string& server, const std::string& reason) const = 0;
  // The text of a failure for want of a usable server.
  virtual std::string none_usable() const = 0;
  // Settle only on a server whose ROLE is master; a replica is skipped
  // with the reason "a replica". Without it a replica is found out by the
  // READONLY refusal of a claim's write.
  virtual bool primary_only() const { return false; }
};

// orvelt's voice: "WARN/IO blockstore <server> skipped: <reason>" logged at
// priority warning; failures "CRIT/IO blockstore <server>: <reason>" and
// "CRIT/IO blockstore: no server usable", the texts made log-safe.
std::unique_ptr<RedisVoice> redis_log_voice();

// The block store on the Redis servers of config.blockstore.
//
// The first claim (or reach) connects (redis_failover); the connection is
// kept for the store's life. A claim is one SET key value NX EX <seconds> of
// a pending record (its lease, block_lease_seconds(mtatimeout), and one
// second more): granted when the key was not there. When it was, the claim
// reads it and decides as BlockStore::claim says; a record that does not
// count (of another text, from the future, unreadable) is replaced in one
// script, as long as it still holds what was read, and a key gone meanwhile
// is claimed again as a new one. A server that fails a command, or refuses
// the write as a replica, is skipped and the next one tried. Failures
// handed back (priority err): no server left, a server that refused the
// password or DB, or the write for want of one (NOAUTH: these are
// configuration errors), or refused the write with anything but READONLY;
// and another run's pending record. A receiver that
// block_receiver_acceptable refuses gets "WARN/IO refusing block key for
// <receiver>" logged and nothing granted.
//
// A confirmation replaces the pending value by the full one, its key to
// expire when the record stops blocking (block_seconds_left), and a
// withdrawal deletes the key, each in one script and only while the key
// holds the claim's value. A connection lost by then (a server restarted,
// the connection killed) is made again once, from the first server on, and
// the script sent again, the new connection made and answered within
// kRedisRetrySeconds. A failure is logged, "CRIT/IO blockstore <server>:
// <reason>" at priority err; so is a script that found nothing to change on
// another server than the claim's, where the claim may still stand. A
// confirmation that failed so is then logged as lost (BlockStore::confirm).
//
// The values a store writes name it as their maker: "<host>:<pid>.<n>",
// n telling the stores of one process apart (orveltd's workers, each with
// its own), so that a store withdraws only its own claims. Values of other
// makers, and of the earlier "<host>:<pid>", are read all the same.
class RedisBlockStore : public BlockStore {
 public:
  RedisBlockStore(const Config& config, std::unique_ptr<RedisVoice> voice);
  using BlockStore::claim;
  using BlockStore::import;
  Result<BlockClaim> claim(const ClaimRequest& request) override;
  void confirm(const BlockClaim& claim, const std::string& sender,
               const std::string& receiver) override;
  bool withdraw(const BlockClaim& claim, const std::string& sender,
                const std::string& receiver) override;
  // BlockStore::begin_run, and the next connection is looked for from the
  // first server on again: a connection to a later server (made while the
  // first was down) is closed, so that the first is used once it is back;
  // one to the first server is kept, and should the server have been
  // restarted meanwhile, the claim's write that finds it lost skips it and
  // connects again from the first server on.
  void begin_run() override;
  Outcome reach() override;
  // SCAN for keys under the prefix, then GET; keys of other shapes are not
  // the program's and passed over, a key that expires meanwhile left out.
  Outcome walk(BlockWalker& walker) override;
  // SCAN for the keys of receiver alone (its key prefix, glob characters
  // escaped), then GET, as walk.
  Result<std::vector<BlockEntry>> records_of(const std::string& receiver) override;
  Result<bool> remove(const std::string& receiver, const std::string& sender) override;
  // The value "<time> import" and the record's fields; SET NX with the
  // time left.
  Result<BlockImport> import(const std::string& receiver, const std::string& sender,
                             const BlockRecord& record, int64_t now) override;
  // SET of the full value, with the key's expiry, over whatever the key
  // held.
  Outcome record_reply(const std::string& receiver, const std::string& sender,
                       int64_t now) override;

 private:
  // "<host>:<pid>.<n>": the maker this store writes into its values.
  const std::string& maker();
  // Settles on a server (redis_failover from next_ on), by deadline when
  // given.
  Outcome connect(const std::optional<RedisDeadline>& deadline = std::nullopt);
  Outcome command_failed(const RedisReply& reply) const;
  // A server's refusal of a claim's write.
  Outcome refusal(const std::string& reason) const;
  // The keys that match pattern (SCAN, sorted, each once).
  Result<std::vector<std::string>> scan_keys(const std::string& pattern);
  // The records of keys, read with GET, as walk hands them on: keys of
  // other shapes, and keys that expire meanwhile, left out.
  Result<std::vector<BlockEntry>> entries_of(const std::vector<std::string>& keys);
  // Sends a claim's write, passing over servers that fail it: whether it
  // was made.
  Result<bool> write_claim(const std::vector<std::string>& words);
  // A claim's pending record and what it is weighed against.
  struct PendingWrite {
    std::string value;    // the pending record
    std::string seconds;  // its key's expiry
    int64_t now;          // when the claim was made
    int64_t period;       // the claim's interval in seconds
  };
  // Writes pending for key unless a record there counts (weigh): whether it
  // was written; a value replaced goes to claim.previous. Another run's
  // pending record is a failure (pending_elsewhere).
  Result<bool> write_pending(const ClaimRequest& request, const std::string& key,
                             const PendingWrite& pending, BlockClaim& claim);
  // A command after the claim, the reply the MTA's run may have outlived.
  struct Sent {
    RedisReply reply;        // none: no answer
    std::string failure;     // the whole log text of the first failure
    bool elsewhere = false;  // answered by another server than the claim's
  };
  // Sends words, and once more over a new connection when the connection
  // was lost (connect, from the first server on), made and answered within
  // kRedisRetrySeconds.
  Sent send_reconnecting(const std::vector<std::string>& words);
  // Whether a confirmation's or withdrawal's script was answered, and by
  // the claim's server or with a change made; if not, the failure logged
  // (priority err).
  bool applied(const Sent& sent) const;

  const Config& config_;
  std::unique_ptr<RedisVoice> voice_;
  RedisConnection connection_;
  std::string server_;  // the blockstore word connected to
  size_t next_ = 0;     // the index of the server to try next
  unsigned number_;     // n of the maker, unique in the process
  std::string maker_;   // made at its first use
};
