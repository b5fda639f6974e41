// The sessions of the people logged in to orvelt-web, kept in memory: each
// found by a random id that its cookie carries, with the token every form
// of the session must send back, and dropped once idle for too long.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The cookie that carries the session id.
inline constexpr const char* kSessionCookie = "orvelt_session";

struct Session {
  std::string id;    // 64 hex digits: 256 bits from getrandom(2)
  std::string csrf;  // the token of its forms: 64 hex digits, drawn apart from the id
  std::string login;
  std::string dn;
  std::string zone;  // the time zone the browser sent last; empty: the server's
  // What the last save did that the next page says beside its fields
  // (field name to text); empty once shown.
  std::map<std::string, std::string> notes;
};

// Thread-safe. A session's idle time starts again whenever it is found.
class SessionStore {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit SessionStore(
      std::chrono::minutes idle, Clock clock = [] { return std::chrono::steady_clock::now(); });

  // A new session of login at dn; none when the system's random source
  // fails. Sessions idle for too long are dropped first.
  std::optional<Session> create(const std::string& login, const std::string& dn);
  // The session of id, unless it is unknown or has been idle longer than the
  // idle time (it is dropped then).
  std::optional<Session> find(const std::string& id);
  // Remembers zone as the session's time zone.
  void set_zone(const std::string& id, const std::string& zone);
  // Keeps notes for the next page of the session of id.
  void set_notes(const std::string& id, std::map<std::string, std::string> notes);
  // The notes kept for the session of id, which keeps none from now on.
  std::map<std::string, std::string> take_notes(const std::string& id);
  // Ends the session of id, if there is one.
  void remove(const std::string& id);
  // The idle time from now on, for the sessions there are too.
  void set_idle(std::chrono::minutes idle);

 private:
  struct Kept {
    Session session;
    std::chrono::steady_clock::time_point last_used;
  };
  void drop_idle(std::chrono::steady_clock::time_point now);

  std::chrono::minutes idle_;
  Clock clock_;
  std::mutex mutex_;
  std::map<std::string, Kept> sessions_;
};

// 256 bits from getrandom(2) as 64 lowercase hex digits; none when the
// system cannot give them.
std::optional<std::string> random_hex_256();

// Whether given is the token expected, in time that depends only on their
// lengths: a token is never compared byte by byte with an early stop. An
// empty expected token matches nothing.
bool token_matches(std::string_view expected, std::string_view given);

// The Set-Cookie value that hands id to the browser: HttpOnly,
// SameSite=Strict, for the whole site, and Secure when secure is set.
std::string session_cookie(const std::string& id, bool secure);
// The Set-Cookie value that has the browser forget its session.
std::string expired_session_cookie(bool secure);

// The value of the session cookie in a Cookie header; empty when there is
// none.
std::string session_id_of(std::string_view cookie_header);
