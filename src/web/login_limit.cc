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

std::string_view unmapped(std::string_view address) {
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() &&
      equals_ignore_case(address.substr(0, kMapped.size()), kMapped) &&
      address.find('.') != std::string_view::npos) {
    return address.substr(kMapped.size());
  }
  return address;
}

}  // namespace

LoginLimit::LoginLimit(Clock clock) : clock_(std::move(clock)) {}

void LoginLimit::forget_old(Failures& failures, std::chrono::steady_clock::time_point now) const {
  for (auto it = failures.begin(); it != failures.end();) {
    auto& times = it->second;
    while (!times.empty() && now - times.front() >= kLoginWindow) times.pop_front();
    if (times.empty()) it = failures.erase(it);
    else ++it;
  }
}

bool LoginLimit::full(const Failures& failures, const std::string& key) const {
  const auto it = failures.find(key);
  return it != failures.end() && it->second.size() >= kLoginFailures;
}

bool LoginLimit::limited_locked(const std::string& login_key, const std::string& client) {
  const auto now = clock_();
  forget_old(by_login_, now);
  forget_old(by_client_, now);
  return full(by_login_, login_key) || full(by_client_, client);
}

bool LoginLimit::limited(std::string_view login, std::string_view client) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return limited_locked(login_key(login), std::string(client));
}

void LoginLimit::failed(std::string_view login, std::string_view client) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  by_login_[login_key(login)].push_back(now);
  by_client_[std::string(client)].push_back(now);
}

bool LoginLimit::attempt(std::string_view login, std::string_view client) {
  const std::string key = login_key(login);
  const std::string from(client);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (limited_locked(key, from)) return false;
  const auto now = clock_();
  by_login_[key].push_back(now);
  by_client_[from].push_back(now);
  return true;
}

void LoginLimit::take_back(Failures& failures, const std::string& key) {
  const auto it = failures.find(key);
  if (it == failures.end()) return;
  it->second.pop_back();
  if (it->second.empty()) failures.erase(it);
}

void LoginLimit::succeeded(std::string_view login, std::string_view client) {
  const std::lock_guard<std::mutex> lock(mutex_);
  take_back(by_login_, login_key(login));
  take_back(by_client_, std::string(client));
}

std::string client_address(std::string_view peer, std::string_view forwarded_for,
                           const StringList& trusted) {
  const std::string_view own = unmapped(peer);
  bool from_proxy = false;
  for (const std::string& proxy : trusted) from_proxy = from_proxy || unmapped(proxy) == own;
  if (!from_proxy) return std::string(own);
  const StringList hops = tokenize(forwarded_for, -1, ',');
  for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
    const std::string_view hop = trim_blanks(*it);
    if (!hop.empty()) return std::string(unmapped(hop));
  }
  return std::string(own);
}
