// The limit on failed logins, which keeps a password from being guessed:
// at most kLoginFailures failures in kLoginWindow per login address and per
// client address; an attempt beyond that is refused without asking the
// directory.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "util/strings.h"

inline constexpr size_t kLoginFailures = 5;
inline constexpr std::chrono::seconds kLoginWindow{60};
// The bytes of a login that its count is kept under: no address is longer,
// and a longer one costs no more memory.
inline constexpr size_t kLoginKeyBytes = 320;

// Thread-safe.
class LoginLimit {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit LoginLimit(Clock clock = [] { return std::chrono::steady_clock::now(); });

  // Whether a login as login from client must be refused now: either has
  // failed kLoginFailures times within the last kLoginWindow. The login
  // counts with its ASCII case and its blanks ignored (the directory
  // matches an address so), and only its first kLoginKeyBytes bytes.
  bool limited(std::string_view login, std::string_view client);
  // Counts a failed login as login from client.
  void failed(std::string_view login, std::string_view client);

  // A login as login from client begins: false when it is limited (nothing
  // counted); otherwise it counts as failed at once, in the same step, so
  // that attempts running side by side cannot all pass the check before any
  // of them has failed.
  bool attempt(std::string_view login, std::string_view client);
  // The attempt succeeded: one failure counted for login and for client is
  // taken back.
  void succeeded(std::string_view login, std::string_view client);

 private:
  using Failures = std::map<std::string, std::deque<std::chrono::steady_clock::time_point>>;
  // Forgets the failures older than the window.
  void forget_old(Failures& failures, std::chrono::steady_clock::time_point now) const;
  bool full(const Failures& failures, const std::string& key) const;
  bool limited_locked(const std::string& login_key, const std::string& client);
  // Takes back the latest failure of key.
  static void take_back(Failures& failures, const std::string& key);

  Clock clock_;
  std::mutex mutex_;
  Failures by_login_;
  Failures by_client_;
};

// The address a request comes from: the connection's own (peer), or, when
// peer is one of trusted (a reverse proxy), the last address of its
// X-Forwarded-For header (forwarded_for; the connection's own when that
// holds none). An IPv4 address mapped into IPv6 counts as the IPv4 one.
std::string client_address(std::string_view peer, std::string_view forwarded_for,
                           const StringList& trusted);
