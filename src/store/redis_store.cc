#include "store/redis_store.h"

#include <fcntl.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <tuple>

#include "config/config.h"
#include "util/log.h"

std::optional<RedisAddress> redis_parse_address(std::string_view text) {
  RedisAddress address;
  if (text.starts_with("unix:")) {
    address.path = std::string(text.substr(5));
    if (address.path.size() < 2 || address.path[0] != '/') return std::nullopt;
    return address;
  }
  if (!text.starts_with("redis://")) return std::nullopt;
  text.remove_prefix(8);
  if (text.starts_with("[")) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close < 2) return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    text.remove_prefix(close + 1);
  } else {
    const size_t end = text.find_first_of(":/");
    address.host = std::string(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  if (address.host.empty()) return std::nullopt;
  if (text.starts_with(":")) {
    const size_t end = text.find('/');
    const std::optional<int64_t> port = parse_digits(text.substr(1, end - 1), 5);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    address.port = static_cast<int>(*port);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  if (text.starts_with("/")) {
    text.remove_prefix(1);
    if (!text.empty()) {
      const std::optional<int64_t> db = parse_digits(text, 9);
      if (!db) return std::nullopt;
      address.db = static_cast<int>(*db);
      text = {};
    }
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

namespace {

bool timed_out(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

// The time limit of one step: kRedisTimeoutSeconds, or what is left until
// deadline when that is less, a millisecond at the least (a limit of 0
// would be none).
timeval step_limit(const std::optional<RedisDeadline>& deadline) {
  using std::chrono::microseconds;
  microseconds limit = std::chrono::seconds(kRedisTimeoutSeconds);
  if (deadline) {
    const auto left =
        std::chrono::duration_cast<microseconds>(*deadline - std::chrono::steady_clock::now());
    limit = std::clamp(left, microseconds(1000), limit);
  }
  return timeval{static_cast<time_t>(limit.count() / 1'000'000),
                 static_cast<suseconds_t>(limit.count() % 1'000'000)};
}

bool passed(const std::optional<RedisDeadline>& deadline) {
  return deadline && std::chrono::steady_clock::now() >= *deadline;
}

}  // namespace

bool redis_limit_to(const RedisConnection& connection,
                    const std::optional<RedisDeadline>& deadline) {
  return connection && redisSetTimeout(connection.get(), step_limit(deadline)) == REDIS_OK;
}

RedisReply redis_command(const RedisConnection& connection, const std::vector<std::string>& words) {
  std::vector<const char*> argv;
  std::vector<size_t> lengths;
  for (const std::string& word : words) {
    argv.push_back(word.data());
    lengths.push_back(word.size());
  }
  errno = 0;
  RedisReply reply(static_cast<redisReply*>(redisCommandArgv(
      connection.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
  if (!reply) connection.note_failure_errno(errno);
  return reply;
}

std::string redis_failure(const RedisConnection& connection) {
  const redisContext* c = connection.get();
  if (c == nullptr) return "no connection";
  if (c->err == REDIS_ERR_IO && timed_out(connection.failure_errno())) {
    return "no answer within " + std::to_string(kRedisTimeoutSeconds) + " seconds";
  }
  if (c->err == REDIS_ERR_EOF) return "connection closed";
  return c->errstr;
}

RedisOpened redis_open(const std::string& text, const OptionalText& password,
                       const std::optional<RedisDeadline>& deadline) {
  RedisOpened opened;
  const std::optional<RedisAddress> address = redis_parse_address(text);
  if (!address) {
    opened.reason = "not a redis:// or unix: address";
    return opened;
  }
  const timeval limit = step_limit(deadline);
  errno = 0;
  RedisConnection connection(
      address->path.empty() ? redisConnectWithTimeout(address->host.c_str(), address->port, limit)
                            : redisConnectUnixWithTimeout(address->path.c_str(), limit));
  connection.note_failure_errno(errno);
  if (!connection) {
    opened.reason = "out of memory";
    return opened;
  }
  if (connection.get()->err != 0) {
    opened.reason = redis_failure(connection);
    return opened;
  }
  // The MTA started for the reply must not hold the connection open.
  const int fd = connection.get()->fd;
  if (redisSetTimeout(connection.get(), limit) != REDIS_OK ||
      fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC) != 0) {
    opened.reason = "cannot set up the connection";
    return opened;
  }
  std::vector<std::vector<std::string>> setup;
  if (password) setup.push_back({"AUTH", *password});
  if (address->db != 0) setup.push_back({"SELECT", std::to_string(address->db)});
  for (const std::vector<std::string>& command : setup) {
    if (deadline && !redis_limit_to(connection, deadline)) {
      opened.reason = "cannot set up the connection";
      return opened;
    }
    const RedisReply reply = redis_command(connection, command);
    if (!reply) {
      opened.reason = redis_failure(connection);
      return opened;
    }
    if (reply->type == REDIS_REPLY_ERROR) {
      opened.refused = true;
      opened.reason.assign(reply->str, reply->len);
      return opened;
    }
  }
  opened.connection = std::move(connection);
  return opened;
}

RedisChoice redis_failover(const StringList& servers, size_t& next, const OptionalText& password,
                           const RedisVoice& voice, const std::optional<RedisDeadline>& deadline) {
  RedisChoice choice;
  while (next < servers.size() && !passed(deadline)) {
    const std::string& server = servers[next++];
    RedisOpened opened = redis_open(server, password, deadline);
    if (opened.connection || opened.refused) {
      choice.connection = std::move(opened.connection);
      choice.server = server;
      choice.refused = opened.refused;
      choice.reason = std::move(opened.reason);
      return choice;
    }
    voice.skipped(server, opened.reason);
  }
  return choice;
}

namespace {

std::string log_failure(const std::string& server, const std::string& reason) {
  return "CRIT/IO blockstore " + log_safe(server) + ": " + log_safe(reason);
}

// The text of a reply that is an error.
std::string reply_text(const redisReply& reply) { return std::string(reply.str, reply.len); }

// What a ROLE reply says of the server: a primary, or not.
bool is_primary(const redisReply& role) {
  return role.type == REDIS_REPLY_ARRAY && role.elements > 0 &&
         role.element[0]->type == REDIS_REPLY_STRING &&
         std::string_view(role.element[0]->str, role.element[0]->len) == "master";
}

// The stores made in this process so far: the n of the next one's maker.
std::atomic<unsigned> stores_made{0};

// Deletes the key only while it holds the value of the claim: a key that
// expired and was claimed again by another run is left alone.
constexpr const char* kWithdrawScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
    "return 0";

// Replaces the key's value, and its expiry, only while it holds the value
// that was looked at: another run may have claimed it meanwhile.
constexpr const char* kReplaceScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then "
    "redis.call('SET', KEYS[1], ARGV[2], 'EX', ARGV[3]) return 1 end return 0";

// A pattern for SCAN that matches text itself and then anything.
std::string prefix_pattern(std::string_view text) {
  std::string pattern;
  for (const char c : text) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "*";
}

}  // namespace

namespace {

class LogVoice : public RedisVoice {
 public:
  void skipped(const std::string& server, const std::string& reason) const override {
    log_message(LOG_WARNING, "WARN/IO blockstore %s skipped: %s", log_safe(server).c_str(),
                log_safe(reason).c_str());
  }
  std::string refused(const std::string& server, const std::string& reason) const override {
    return log_failure(server, reason);
  }
  std::string failed(const std::string& server, const std::string& reason) const override {
    return log_failure(server, reason);
  }
  std::string none_usable() const override { return "CRIT/IO blockstore: no server usable"; }
};

}  // namespace

std::unique_ptr<RedisVoice> redis_log_voice() { return std::make_unique<LogVoice>(); }

RedisBlockStore::RedisBlockStore(const Config& config, std::unique_ptr<RedisVoice> voice)
    : config_(config),
      voice_(std::move(voice)),
      number_(stores_made.fetch_add(1, std::memory_order_relaxed)) {}

const std::string& RedisBlockStore::maker() {
  // Made at the first write rather than with the store: the host name and
  // the process id are those of the process that writes.
  if (maker_.empty()) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    maker_ = std::string(host) + ":" + std::to_string(getpid()) + "." + std::to_string(number_);
  }
  return maker_;
}

Outcome RedisBlockStore::connect(const std::optional<RedisDeadline>& deadline) {
  for (;;) {
    RedisChoice choice =
        redis_failover(config_.blockstore, next_, config_.blockstore_password, *voice_, deadline);
    if (choice.refused) {
      return Outcome::config_error(LOG_ERR, voice_->refused(choice.server, choice.reason));
    }
    if (!choice.connection) return Outcome::retry(LOG_ERR, voice_->none_usable());
    if (voice_->primary_only()) {
      if (deadline && !redis_limit_to(choice.connection, deadline)) {
        voice_->skipped(choice.server, "cannot set up the connection");
        continue;
      }
      const RedisReply role = redis_command(choice.connection, {"ROLE"});
      if (!role) {
        voice_->skipped(choice.server, redis_failure(choice.connection));
        continue;
      }
      if (role->type == REDIS_REPLY_ERROR) {
        return Outcome::retry(LOG_ERR, voice_->refused(choice.server, reply_text(*role)));
      }
      if (!is_primary(*role)) {
        voice_->skipped(choice.server, "a replica");
        continue;
      }
    }
    connection_ = std::move(choice.connection);
    server_ = std::move(choice.server);
    return Outcome::done();
  }
}

void RedisBlockStore::begin_run() {
  BlockStore::begin_run();
  // next_ is 1 exactly when the connection is to the first server.
  if (next_ != 1) connection_.reset();
  next_ = 0;
}

Outcome RedisBlockStore::reach() { return connection_ ? Outcome::done() : connect(); }

Outcome RedisBlockStore::command_failed(const RedisReply& reply) const {
  return Outcome::retry(
      LOG_ERR, voice_->failed(server_, reply ? reply_text(*reply) : redis_failure(connection_)));
}

Outcome RedisBlockStore::refusal(const std::string& reason) const {
  // A server that wants a password the configuration does not give.
  const std::string text = voice_->refused(server_, reason);
  if (reason.starts_with("NOAUTH")) return Outcome::config_error(LOG_ERR, text);
  return Outcome::retry(LOG_ERR, text);
}

Result<bool> RedisBlockStore::write_claim(const std::vector<std::string>& words) {
  for (;;) {
    if (!connection_) {
      if (Outcome connected = connect(); !connected.ok()) return connected;
    }
    const RedisReply reply = redis_command(connection_, words);
    std::string reason;
    if (!reply) {
      reason = redis_failure(connection_);
    } else if (reply->type == REDIS_REPLY_ERROR) {
      reason = reply_text(*reply);
      // A replica refuses every write: its primary is among the others.
      if (!reason.starts_with("READONLY")) return refusal(reason);
    } else {
      return reply->type == REDIS_REPLY_STATUS ||
             (reply->type == REDIS_REPLY_INTEGER && reply->integer == 1);
    }
    voice_->skipped(server_, reason);
    connection_.reset();
  }
}

Result<bool> RedisBlockStore::write_pending(const ClaimRequest& request, const std::string& key,
                                            const PendingWrite& pending, BlockClaim& claim) {
  // Twice at most: a key that expires, or is written by another run,
  // between the write and the look is looked at once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Result<bool> written =
        write_claim({"SET", key, pending.value, "NX", "EX", pending.seconds});
    if (!written.ok() || *written) return written;
    const RedisReply found = redis_command(connection_, {"GET", key});
    if (!found || found->type == REDIS_REPLY_ERROR) return command_failed(found);
    if (found->type != REDIS_REPLY_STRING) continue;  // gone meanwhile
    const std::string old(found->str, found->len);
    switch (weigh(request, old, redis_block_record(old), pending.now, pending.period)) {
      case Found::kPendingElsewhere:
        return pending_elsewhere(request.sender, request.receiver);
      case Found::kBlocked:
        return false;
      case Found::kFree:
        break;
    }
    const Result<bool> replaced =
        write_claim({"EVAL", kReplaceScript, "1", key, old, pending.value, pending.seconds});
    if (!replaced.ok()) return replaced;
    if (*replaced) {
      claim.previous = old;
      return true;
    }
  }
  // Written over twice while this run looked: another run claims it now.
  return pending_elsewhere(request.sender, request.receiver);
}

Result<BlockClaim> RedisBlockStore::claim(const ClaimRequest& request) {
  BlockClaim claim;
  // A negative interval blocks nothing, as in the block files; Redis
  // takes no expiry below one second.
  const int hours = request.hours.value_or(config_.blockexpire);
  if (hours <= 0) {
    claim.granted = true;
    return claim;
  }
  if (!block_receiver_acceptable(request.receiver)) {
    log_message(LOG_WARNING, "WARN/IO refusing block key for %s",
                log_safe(request.receiver).c_str());
    return claim;
  }
  const std::string key =
      redis_block_key(config_.blockstore_prefix, request.receiver, request.sender);
  const int64_t now = time(nullptr);
  const int64_t period = block_period_seconds(hours);
  const int64_t lease = block_lease_seconds(config_.mtatimeout);
  const BlockRecord record{now, request.hours ? std::optional(period) : std::nullopt, request.tag,
                           lease};
  // The key of a pending record lives as long as its lease holds.
  const PendingWrite pending{redis_block_value(record, maker()),
                             std::to_string(block_seconds_left(now, now, lease)), now, period};
  const Result<bool> written = write_pending(request, key, pending, claim);
  if (!written.ok()) return written.failure();
  claim.granted = *written;
  if (claim.granted) {
    claim.stored = pending.value;
    claim.lease_ends = now + lease;
    note_claim(request.receiver, request.sender, pending.value);
  }
  return claim;
}

RedisBlockStore::Sent RedisBlockStore::send_reconnecting(const std::vector<std::string>& words) {
  Sent sent;
  if (connection_) {
    sent.reply = redis_command(connection_, words);
    if (sent.reply) return sent;
    sent.failure = log_failure(server_, redis_failure(connection_));
    connection_.reset();
  } else {
    sent.failure = log_failure(server_, "no connection");
  }
  // Once more on a new connection, from the first server on, as the claim
  // connected: a server restarted, or a connection killed while the MTA
  // ran. The reply went out already: made and answered within
  // kRedisRetrySeconds, however many servers are down or silent.
  const RedisDeadline deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kRedisRetrySeconds);
  const std::string before = server_;
  next_ = 0;
  if (!connect(deadline).ok()) return sent;
  sent.elsewhere = server_ != before;
  if (!redis_limit_to(connection_, deadline)) {
    sent.failure = log_failure(server_, "cannot set up the connection");
    connection_.reset();
    return sent;
  }
  sent.reply = redis_command(connection_, words);
  if (!sent.reply) sent.failure = log_failure(server_, redis_failure(connection_));
  // The connection is kept for the next claims, with the usual limit.
  if (!sent.reply || !redis_limit_to(connection_)) connection_.reset();
  return sent;
}

bool RedisBlockStore::applied(const Sent& sent) const {
  std::string failure = sent.failure;
  if (sent.reply && sent.reply->type == REDIS_REPLY_ERROR) {
    failure = log_failure(server_, reply_text(*sent.reply));
  } else if (sent.reply && (!sent.elsewhere || sent.reply->type != REDIS_REPLY_INTEGER ||
                            sent.reply->integer == 1)) {
    return true;
  }
  // No answer, or none from the server the claim was written on: the key
  // may stand there.
  log_message(LOG_ERR, "%s", failure.c_str());
  return false;
}

void RedisBlockStore::confirm(const BlockClaim& claim, const std::string& sender,
                              const std::string& receiver) {
  if (!claim.stored) return;
  std::optional<BlockRecord> record = redis_block_record(*claim.stored);
  if (!record) return;
  record->lease.reset();
  const std::string full = redis_block_value(*record, maker());
  const int64_t period = block_record_period(*record, block_period_seconds(config_.blockexpire));
  // The full record's key expires when it stops blocking, as if the claim
  // had written it.
  const int64_t left =
      std::max<int64_t>(block_seconds_left(record->time, time(nullptr), period), 1);
  const std::string key = redis_block_key(config_.blockstore_prefix, receiver, sender);
  const Sent sent = send_reconnecting(
      {"EVAL", kReplaceScript, "1", key, *claim.stored, full, std::to_string(left)});
  if (!applied(sent)) return confirmation_lost(sender, receiver);
  if (sent.reply->type == REDIS_REPLY_INTEGER && sent.reply->integer == 1) {
    note_claim(receiver, sender, full);
  }
}

bool RedisBlockStore::withdraw(const BlockClaim& claim, const std::string& sender,
                               const std::string& receiver) {
  if (!claim.stored) return true;
  forget_claim(receiver, sender);
  const std::string key = redis_block_key(config_.blockstore_prefix, receiver, sender);
  return applied(send_reconnecting({"EVAL", kWithdrawScript, "1", key, *claim.stored}));
}

Result<std::vector<std::string>> RedisBlockStore::scan_keys(const std::string& pattern) {
  std::vector<std::string> keys;
  std::string cursor = "0";
  do {
    const RedisReply reply =
        redis_command(connection_, {"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
    if (!reply || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) {
      return command_failed(reply);
    }
    cursor.assign(reply->element[0]->str, reply->element[0]->len);
    const redisReply* found = reply->element[1];
    for (size_t i = 0; i < found->elements; ++i) {
      keys.emplace_back(found->element[i]->str, found->element[i]->len);
    }
  } while (cursor != "0");
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());  // SCAN may repeat
  return keys;
}

Result<std::vector<BlockEntry>> RedisBlockStore::entries_of(const std::vector<std::string>& keys) {
  std::vector<BlockEntry> entries;
  for (const std::string& key : keys) {
    auto parts = redis_block_key_parts(config_.blockstore_prefix, key);
    if (!parts) continue;
    const RedisReply value = redis_command(connection_, {"GET", key});
    if (!value || value->type == REDIS_REPLY_ERROR) return command_failed(value);
    if (value->type != REDIS_REPLY_STRING) continue;
    const std::optional<BlockRecord> record =
        redis_block_record(std::string_view(value->str, value->len));
    BlockEntry entry{std::move(parts->first),
                     std::move(parts->second),
                     std::nullopt,
                     "",
                     std::nullopt,
                     "",
                     std::nullopt};
    if (record) {
      entry.time = record->time;
      entry.period = record->period;
      entry.tag = record->tag;
      entry.lease = record->lease;
    } else {
      entry.problem = "not a reply time";
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const BlockEntry& a, const BlockEntry& b) {
    return std::tie(a.receiver, a.sender) < std::tie(b.receiver, b.sender);
  });
  return entries;
}

Outcome RedisBlockStore::walk(BlockWalker& walker) {
  if (Outcome reached = reach(); !reached.ok()) return reached;
  const Result<std::vector<std::string>> keys =
      scan_keys(prefix_pattern(config_.blockstore_prefix));
  if (!keys.ok()) return keys.failure();
  const Result<std::vector<BlockEntry>> entries = entries_of(*keys);
  if (!entries.ok()) return entries.failure();
  for (const BlockEntry& entry : *entries) {
    if (!walker.record(entry)) break;
  }
  return Outcome::done();
}

Result<std::vector<BlockEntry>> RedisBlockStore::records_of(const std::string& receiver) {
  if (Outcome reached = reach(); !reached.ok()) return reached;
  // Every key of receiver starts with its key for the empty sender: the
  // length before the receiver tells it apart from a longer receiver's.
  const Result<std::vector<std::string>> keys =
      scan_keys(prefix_pattern(redis_block_key(config_.blockstore_prefix, receiver, "")));
  if (!keys.ok()) return keys.failure();
  Result<std::vector<BlockEntry>> entries = entries_of(*keys);
  if (!entries.ok()) return entries;
  std::erase_if(*entries, [&](const BlockEntry& entry) { return entry.receiver != receiver; });
  return entries;
}

Result<bool> RedisBlockStore::remove(const std::string& receiver, const std::string& sender) {
  if (Outcome reached = reach(); !reached.ok()) return reached;
  const RedisReply reply = redis_command(
      connection_, {"DEL", redis_block_key(config_.blockstore_prefix, receiver, sender)});
  if (!reply || reply->type != REDIS_REPLY_INTEGER) return command_failed(reply);
  return reply->integer != 0;
}

Result<BlockImport> RedisBlockStore::import(const std::string& receiver, const std::string& sender,
                                            const BlockRecord& record, int64_t now) {
  const int64_t period = block_record_period(record, block_period_seconds(config_.blockexpire));
  const int64_t left = block_seconds_left(record.time, now, period);
  if (left <= 0) return BlockImport::kExpired;
  if (Outcome reached = reach(); !reached.ok()) return reached;
  const RedisReply reply = redis_command(
      connection_, {"SET", redis_block_key(config_.blockstore_prefix, receiver, sender),
                    redis_block_value(record, "import"), "NX", "EX", std::to_string(left)});
  if (!reply || reply->type == REDIS_REPLY_ERROR) return command_failed(reply);
  return reply->type == REDIS_REPLY_STATUS ? BlockImport::kImported : BlockImport::kPresent;
}

Outcome RedisBlockStore::record_reply(const std::string& receiver, const std::string& sender,
                                      int64_t now) {
  if (config_.blockexpire <= 0) return Outcome::done();
  if (Outcome reached = reach(); !reached.ok()) return reached;
  const int64_t left = block_seconds_left(now, now, block_period_seconds(config_.blockexpire));
  const RedisReply reply = redis_command(
      connection_, {"SET", redis_block_key(config_.blockstore_prefix, receiver, sender),
                    redis_block_value(BlockRecord{now, std::nullopt, {}, std::nullopt}, maker()),
                    "EX", std::to_string(left)});
  if (!reply || reply->type == REDIS_REPLY_ERROR) return command_failed(reply);
  return Outcome::done();
}
