// The block store on Redis servers (blockstore names them), shared by the
// program on several mail servers so that a sender is answered once between
// them.
//
// One key per receiver and sender: blockstore_prefix, the receiver's length
// in decimal, ':', the receiver, then the sender (redis_block_key). The
// value is "<time of the reply> <host>:<pid>" (the time in seconds since
// the epoch, then the run that made it, so that a run withdraws only its
// own claim). Every key expires blockexpire hours and one second after it
// was made: the records clean themselves away.
//
// hiredis is linked in statically and only called here: a run with the
// GDBM store never touches it.
#pragma once

#include <hiredis/hiredis.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/block.h"
#include "util/strings.h"

// How long a server may take to accept a connection and to answer a
// command before it counts as down.
inline constexpr int kRedisTimeoutSeconds = 5;

// The key of receiver and sender under prefix. No two pairs share a key,
// whatever bytes the addresses hold.
std::string redis_block_key(std::string_view prefix, std::string_view receiver,
                            std::string_view sender);

// The receiver and sender of a key made by redis_block_key under prefix;
// none for a key of any other shape.
std::optional<std::pair<std::string, std::string>> redis_block_key_parts(std::string_view prefix,
                                                                         std::string_view key);

// The reply time at the start of a stored value; none when the value does
// not start with a decimal number.
std::optional<int64_t> redis_block_time(std::string_view value);

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
// AUTH when password is given and SELECT for a DB other than 0. The socket
// is not inherited by programs the process starts.
RedisOpened redis_open(const std::string& address, const OptionalText& password);

// The Redis counterparts of block_claim and block_withdraw (block_claim
// calls them when blockstore names servers).
//
// The first claim of a run connects to the servers in the order given; a
// server that cannot be reached, does not answer in time or refuses the
// write as a replica is passed over with "WARN/IO blockstore <server>
// skipped: <reason>" (priority warning) and the next one tried. The
// connection is kept for the rest of the run. A claim is one
// SET key value NX EX <blockexpire hours + 1 s>: granted when the key was
// not there. When no server is left the run stops: "CRIT/IO blockstore: no
// server usable" (log_fatal, priority warning); so it does when a server
// refuses the password or anything else ("CRIT/IO blockstore <server>:
// <server's text>"). A receiver that is empty, holds a NUL byte or begins
// or ends with a blank is refused: "WARN/IO refusing block key for
// <receiver>", nothing granted.
BlockClaim redis_block_claim(const std::string& sender, const std::string& receiver);

// Deletes the claimed key if it still holds the claim's value (one Lua
// script). A failure is logged, "CRIT/IO blockstore <server>: <reason>"
// at priority err, and the run goes on.
void redis_block_withdraw(const BlockClaim& claim, const std::string& sender,
                          const std::string& receiver);

// Closes the connection of the run, if any; the next claim connects anew.
void redis_block_close();
