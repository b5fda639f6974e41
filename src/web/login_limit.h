// The limit on failed logins, which keeps a password from being guessed:
// at most so many failures in kLoginWindow per login address and per
// client address; an attempt beyond that is refused without asking the
// directory. Only attempts that fail count; so that attempts running side
// by side cannot all pass the check before any of them has failed, the
// attempts for one login run one at a time, and those of one client wait
// while the ones under way could still use up its limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "util/strings.h"

inline constexpr std::chrono::seconds kLoginWindow{60};
// The bytes of a login that its count is kept under: no address is longer,
// and a longer one costs no more memory.
inline constexpr size_t kLoginKeyBytes = 320;

struct LoginLimits {
  size_t per_login = 5;    // web_login_limit
  size_t per_client = 50;  // web_client_limit
};

// Thread-safe.
class LoginLimit {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit LoginLimit(Clock clock = [] { return std::chrono::steady_clock::now(); });

  enum class Turn {
    go,       // the attempt may ask the directory
    limited,  // refused: the login or the client has failed too often
    busy,     // refused: the attempts under way did not end in time
  };

  // One login attempt, from its turn to its end. The login counts with its
  // ASCII case and its blanks ignored (the directory matches an address
  // so), and only its first kLoginKeyBytes bytes.
  class Attempt {
   public:
    // The attempt is now other's.
    Attempt(Attempt&& other) noexcept
        : limit_(other.limit_),
          login_(std::move(other.login_)),
          client_(std::move(other.client_)),
          turn_(other.turn_),
          under_way_(std::exchange(other.under_way_, false)) {}
    Attempt& operator=(Attempt&&) = delete;
    // Ends the attempt: the next one for its login may begin.
    ~Attempt();
    Turn turn() const { return turn_; }
    // Counts the attempt as failed, for its login and its client. Only
    // after turn() was go.
    void failed();

   private:
    friend class LoginLimit;
    Attempt(LoginLimit& limit, std::string login, std::string client, Turn turn)
        : limit_(limit),
          login_(std::move(login)),
          client_(std::move(client)),
          turn_(turn),
          under_way_(turn == Turn::go) {}

    LoginLimit& limit_;
    std::string login_;
    std::string client_;
    Turn turn_;
    bool under_way_;  // counted among those under way, until it ends
  };

  // Begins an attempt as login from client. It waits while another attempt
  // for the same login is under way, and while those of client under way
  // could, by failing, reach its limit; then it is refused (limited) when
  // the login has failed limits.per_login times within the last
  // kLoginWindow or the client limits.per_client times, and may go on
  // otherwise. A wait longer than wait_at_most ends busy.
  Attempt begin(std::string_view login, std::string_view client, const LoginLimits& limits,
                std::chrono::steady_clock::duration wait_at_most);

 private:
  using Failures = std::map<std::string, std::deque<std::chrono::steady_clock::time_point>>;
  // Forgets the failures older than the window.
  void forget_old(Failures& failures, std::chrono::steady_clock::time_point now) const;
  static size_t count(const Failures& failures, const std::string& key);
  bool must_wait(const std::string& login, const std::string& client,
                 const LoginLimits& limits) const;
  void end(const Attempt& attempt);
  void failed(const Attempt& attempt);

  Clock clock_;
  std::mutex mutex_;
  std::condition_variable ended_;
  Failures by_login_;
  Failures by_client_;
  std::map<std::string, size_t> logins_under_way_;
  std::map<std::string, size_t> clients_under_way_;
};

// An address as it is counted: an IPv4 address mapped into IPv6 as the
// IPv4 one, any other as it is.
std::string_view unmapped_address(std::string_view address);

// Whether peer, a connection's own address, is one of trusted (the reverse
// proxies).
bool is_trusted_proxy(std::string_view peer, const StringList& trusted);

// The address a request comes from: the connection's own (peer), or, when
// peer is one of trusted (a reverse proxy), the last address of its
// X-Forwarded-For header (forwarded_for; the connection's own when that
// holds none). An IPv4 address mapped into IPv6 counts as the IPv4 one.
std::string client_address(std::string_view peer, std::string_view forwarded_for,
                           const StringList& trusted);
