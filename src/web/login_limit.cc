#include "web/login_limit.h"

#include <utility>

namespace {

std::string login_key(std::string_view login) {
  std::string key;
  for (const char c : login) {
    if (key.size() == kLoginKeyBytes) break;
    if (c != ' ' && c != '\t') key += ascii_lower(c);
  }
  return key;
}

// One attempt under way under key has ended.
void release(std::map<std::string, size_t>& under_way, const std::string& key) {
  const auto it = under_way.find(key);
  if (it != under_way.end() && --it->second == 0) under_way.erase(it);
}

}  // namespace

LoginLimit::LoginLimit(Clock clock) : clock_(std::move(clock)) {}

LoginLimit::Attempt::~Attempt() {
  if (under_way_) limit_.end(*this);
}

void LoginLimit::Attempt::failed() {
  if (under_way_) limit_.failed(*this);
}

void LoginLimit::forget_old(Failures& failures, std::chrono::steady_clock::time_point now) const {
  for (auto it = failures.begin(); it != failures.end();) {
    auto& times = it->second;
    while (!times.empty() && now - times.front() >= kLoginWindow) times.pop_front();
    if (times.empty()) it = failures.erase(it);
    else ++it;
  }
}

size_t LoginLimit::count(const Failures& failures, const std::string& key) {
  const auto it = failures.find(key);
  return it == failures.end() ? 0 : it->second.size();
}

bool LoginLimit::must_wait(const std::string& login, const std::string& client,
                           const LoginLimits& limits) const {
  if (logins_under_way_.count(login) != 0) return true;
  const auto from = clients_under_way_.find(client);
  return from != clients_under_way_.end() &&
         count(by_client_, client) + from->second >= limits.per_client;
}

LoginLimit::Attempt LoginLimit::begin(std::string_view login, std::string_view client,
                                      const LoginLimits& limits,
                                      std::chrono::steady_clock::duration wait_at_most) {
  std::string key = login_key(login);
  std::string from(client);
  const auto give_up = std::chrono::steady_clock::now() + wait_at_most;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto now = clock_();
    forget_old(by_login_, now);
    forget_old(by_client_, now);
    if (!must_wait(key, from, limits)) break;
    if (ended_.wait_until(lock, give_up) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= give_up) {
      return Attempt(*this, std::move(key), std::move(from), Turn::busy);
    }
  }
  if (count(by_login_, key) >= limits.per_login || count(by_client_, from) >= limits.per_client) {
    return Attempt(*this, std::move(key), std::move(from), Turn::limited);
  }
  logins_under_way_[key] += 1;
  clients_under_way_[from] += 1;
  return Attempt(*this, std::move(key), std::move(from), Turn::go);
}

void LoginLimit::failed(const Attempt& attempt) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  by_login_[attempt.login_].push_back(now);
  by_client_[attempt.client_].push_back(now);
}

void LoginLimit::end(const Attempt& attempt) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    release(logins_under_way_, attempt.login_);
    release(clients_under_way_, attempt.client_);
  }
  ended_.notify_all();
}

std::string_view unmapped_address(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() &&
      equals_ignore_case(address.substr(0, kMapped.size()), kMapped) &&
      address.find('.') != std::string_view::npos) {
    return address.substr(kMapped.size());
  }
  return address;
}

bool is_trusted_proxy(std::string_view peer, const StringList& trusted) {
  const std::string_view own = unmapped_address(peer);
  for (const std::string& proxy : trusted) {
    if (unmapped_address(proxy) == own) return true;
  }
  return false;
}

std::string client_address(std::string_view peer, std::string_view forwarded_for,
                           const StringList& trusted) {
  const std::string_view own = unmapped_address(peer);
  if (!is_trusted_proxy(own, trusted)) return std::string(own);
  const StringList hops = tokenize(forwarded_for, -1, ',');
  for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
    const std::string_view hop = trim_blanks(*it);
    if (!hop.empty()) return std::string(unmapped_address(hop));
  }
  return std::string(own);
}
