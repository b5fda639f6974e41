#include "web/session_store.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "util/strings.h"

SessionStore::SessionStore(std::chrono::minutes idle, Clock clock)
    : idle_(idle), clock_(std::move(clock)) {}

void SessionStore::drop_idle(std::chrono::steady_clock::time_point now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.last_used > idle_) it = sessions_.erase(it);
    else ++it;
  }
}

std::optional<Session> SessionStore::create(const std::string& login, const std::string& dn) {
  std::optional<std::string> id = random_hex_256();
  std::optional<std::string> csrf = random_hex_256();
  if (!id || !csrf) return std::nullopt;
  Session session{std::move(*id), std::move(*csrf), login, dn, {}, {}};
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  drop_idle(now);
  sessions_[session.id] = Kept{session, now};
  return session;
}

std::optional<Session> SessionStore::find(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  const auto now = clock_();
  if (now - it->second.last_used > idle_) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.last_used = now;
  return it->second.session;
}

void SessionStore::set_zone(const std::string& id, const std::string& zone) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it != sessions_.end()) it->second.session.zone = zone;
}

void SessionStore::set_notes(const std::string& id, std::map<std::string, std::string> notes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it != sessions_.end()) it->second.session.notes = std::move(notes);
}

std::map<std::string, std::string> SessionStore::take_notes(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return {};
  return std::exchange(it->second.session.notes, {});
}

void SessionStore::remove(const std::string& id) {
  const std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

void SessionStore::set_idle(std::chrono::minutes idle) {
  const std::lock_guard<std::mutex> lock(mutex_);
  idle_ = idle;
}

std::optional<std::string> random_hex_256() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * sizeof bytes);
  for (const unsigned char byte : bytes) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0f];
  }
  return hex;
}

bool token_matches(std::string_view expected, std::string_view given) {
  if (expected.empty() || expected.size() != given.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(expected[i] ^ given[i]);
  }
  return difference == 0;
}

std::string session_cookie(const std::string& id, bool secure) {
  std::string cookie =
      std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
  if (secure) cookie += "; Secure";
  return cookie;
}

std::string expired_session_cookie(bool secure) {
  std::string cookie =
      std::string(kSessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
  if (secure) cookie += "; Secure";
  return cookie;
}

std::string session_id_of(std::string_view cookie_header) {
  const std::string_view name = kSessionCookie;
  for (const std::string& pair : tokenize(cookie_header, -1, ';')) {
    const std::string_view item = trim_blanks(pair);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos || trim_blanks(item.substr(0, equals)) != name) continue;
    return std::string(trim_blanks(item.substr(equals + 1)));
  }
  return {};
}
