#include "store/redis_store.h"

#include <fcntl.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "config/config.h"
#include "util/log.h"

namespace {

// Deletes the key only while it holds the value of the claim: a key that
// expired and was claimed again by another run is left alone.
constexpr const char* kWithdrawScript =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
    "return 0";

// A decimal number of at most digits digits, all of text.
std::optional<int> parse_small_number(std::string_view text, size_t digits) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::string redis_block_key(std::string_view prefix, std::string_view receiver,
                            std::string_view sender) {
  std::string key(prefix);
  key += std::to_string(receiver.size());
  key += ':';
  key += receiver;
  key += sender;
  return key;
}

std::optional<std::pair<std::string, std::string>> redis_block_key_parts(std::string_view prefix,
                                                                         std::string_view key) {
  if (!key.starts_with(prefix)) return std::nullopt;
  key.remove_prefix(prefix.size());
  const size_t colon = key.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<int> length = parse_small_number(key.substr(0, colon), 9);
  if (!length) return std::nullopt;
  key.remove_prefix(colon + 1);
  const size_t receiver_size = static_cast<size_t>(*length);
  if (receiver_size > key.size()) return std::nullopt;
  return std::pair{std::string(key.substr(0, receiver_size)),
                   std::string(key.substr(receiver_size))};
}

std::optional<int64_t> redis_block_time(std::string_view value) {
  const size_t end = value.find(' ');
  const std::string_view digits = value.substr(0, end);
  if (digits.empty() || digits.size() > 18) return std::nullopt;
  int64_t time = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    time = time * 10 + (c - '0');
  }
  return time;
}

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
    const std::optional<int> port = parse_small_number(text.substr(1, end - 1), 5);
    if (!port || *port < 1 || *port > 65535) return std::nullopt;
    address.port = *port;
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  if (text.starts_with("/")) {
    text.remove_prefix(1);
    if (!text.empty()) {
      const std::optional<int> db = parse_small_number(text, 9);
      if (!db) return std::nullopt;
      address.db = *db;
      text = {};
    }
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

namespace {

bool timed_out(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT; }

}  // namespace

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

RedisOpened redis_open(const std::string& text, const OptionalText& password) {
  RedisOpened opened;
  const std::optional<RedisAddress> address = redis_parse_address(text);
  if (!address) {
    opened.reason = "not a redis:// or unix: address";
    return opened;
  }
  const timeval limit{kRedisTimeoutSeconds, 0};
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

namespace {

// The connection of the run: opened by the first claim, kept for the
// others and for a withdrawal, closed at the end of the process (or by
// redis_block_close). The one state the store keeps between calls.
struct RedisSession {
  RedisConnection connection;
  std::string server;  // the blockstore word connected to
  size_t next = 0;     // the index of the server to try next
};

RedisSession& session() {
  static RedisSession the_session;
  return the_session;
}

void log_skipped(const std::string& server, const std::string& reason) {
  log_message(LOG_WARNING, "WARN/IO blockstore %s skipped: %s", log_safe(server).c_str(),
              log_safe(reason).c_str());
}

[[noreturn]] void fail_refused(const std::string& server, const std::string& reason) {
  log_fatal(LOG_WARNING, "CRIT/IO blockstore %s: %s", log_safe(server).c_str(),
            log_safe(reason).c_str());
}

// Connects to the next usable server of blockstore, or stops the run.
void connect_next(RedisSession& s) {
  const StringList& servers = g_config.blockstore;
  while (s.next < servers.size()) {
    const std::string& server = servers[s.next++];
    RedisOpened opened = redis_open(server, g_config.blockstore_password);
    if (opened.refused) fail_refused(server, opened.reason);
    if (opened.connection) {
      s.connection = std::move(opened.connection);
      s.server = server;
      return;
    }
    log_skipped(server, opened.reason);
  }
  log_fatal(LOG_WARNING, "CRIT/IO blockstore: no server usable");
}

// The directory matches a mail address ignoring blanks at either end: such
// a receiver would get a key of its own for every number of blanks.
bool acceptable_receiver(std::string_view receiver) {
  return !receiver.empty() && receiver.find('\0') == std::string_view::npos &&
         receiver.front() != ' ' && receiver.back() != ' ';
}

// "<now> <host>:<pid>": the time, then what tells this run's claim from
// another's made in the same second.
std::string claim_value() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return std::to_string(static_cast<int64_t>(time(nullptr))) + " " + host + ":" +
         std::to_string(getpid());
}

}  // namespace

BlockClaim redis_block_claim(const std::string& sender, const std::string& receiver) {
  BlockClaim claim;
  // A negative blockexpire blocks nothing, as in the block files; Redis
  // takes no expiry below one second.
  if (g_config.blockexpire <= 0) {
    claim.granted = true;
    return claim;
  }
  if (!acceptable_receiver(receiver)) {
    log_message(LOG_WARNING, "WARN/IO refusing block key for %s", log_safe(receiver).c_str());
    return claim;
  }
  const std::string key = redis_block_key(g_config.blockstore_prefix, receiver, sender);
  const std::string value = claim_value();
  const std::string seconds = std::to_string(int64_t{g_config.blockexpire} * 3600 + 1);
  RedisSession& s = session();
  for (;;) {
    if (!s.connection) connect_next(s);
    const RedisReply reply = redis_command(s.connection, {"SET", key, value, "NX", "EX", seconds});
    std::string reason;
    if (!reply) {
      reason = redis_failure(s.connection);
    } else if (reply->type == REDIS_REPLY_ERROR) {
      reason.assign(reply->str, reply->len);
      // A replica refuses every write: its primary is among the others.
      if (!reason.starts_with("READONLY")) fail_refused(s.server, reason);
    } else {
      claim.granted = reply->type == REDIS_REPLY_STATUS;
      if (claim.granted) claim.stored = value;
      return claim;
    }
    log_skipped(s.server, reason);
    s.connection.reset();
  }
}

void redis_block_withdraw(const BlockClaim& claim, const std::string& sender,
                          const std::string& receiver) {
  if (!claim.stored) return;
  RedisSession& s = session();
  auto failed = [&s](const std::string& reason) {
    log_message(LOG_ERR, "CRIT/IO blockstore %s: %s", log_safe(s.server).c_str(),
                log_safe(reason).c_str());
  };
  if (!s.connection) return failed("no connection");
  const std::string key = redis_block_key(g_config.blockstore_prefix, receiver, sender);
  const RedisReply reply =
      redis_command(s.connection, {"EVAL", kWithdrawScript, "1", key, *claim.stored});
  if (!reply) {
    failed(redis_failure(s.connection));
    s.connection.reset();
  } else if (reply->type == REDIS_REPLY_ERROR) {
    failed(std::string(reply->str, reply->len));
  }
}

void redis_block_close() {
  RedisSession& s = session();
  s.connection.reset();
  s.server.clear();
  s.next = 0;
}
