// The built orvelt-web over HTTP against a private directory: logging in,
// the login limit, the session cookie and its token, saving, logging out,
// long texts, slow clients, SIGHUP. What a save wrote is read back with
// ldapsearch.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_process.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using Attributes = std::multimap<std::string, std::string>;

constexpr const char* kJane = "jane@site";
constexpr const char* kJanePassword = "jane-pw";
constexpr const char* kJaneDn = "uid=jane,ou=people,dc=example,dc=org";
constexpr const char* kOtherDn = "uid=other,ou=people,dc=example,dc=org";
constexpr const char* kPlainDn = "uid=plain,ou=people,dc=example,dc=org";
constexpr const char* kForm = "application/x-www-form-urlencoded";

// A loopback port nobody listens on now.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::string encoded(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += httplib::detail::encode_query_param(name) + "=" +
            httplib::detail::encode_query_param(value);
  }
  return body;
}

// The bytes of a base64 text (LDIF's "name:: value").
std::string base64_decoded(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned int bits = 0, count = 0;
  for (const char c : text) {
    const size_t digit = kAlphabet.find(c);
    if (digit == std::string::npos) continue;
    bits = (bits << 6) | static_cast<unsigned int>(digit);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return bytes;
}

// The value of the hidden field name of a page.
std::string hidden_of(const std::string& page, const std::string& name) {
  const std::string marker = "name=\"" + name + "\" id=\"" + name + "\" value=\"";
  const size_t at = page.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return page.substr(start, page.find('"', start) - start);
}

// The value of the hidden csrf field of a page.
std::string csrf_of(const std::string& page) { return hidden_of(page, "csrf"); }

// The value of the datetime-local field name of a page.
std::string date_of(const std::string& page, const std::string& name) {
  const std::string marker = "id=\"" + name + "\" name=\"" + name + "\" value=\"";
  const size_t at = page.find(marker);
  if (at == std::string::npos) return "<none>";
  const size_t start = at + marker.size();
  return page.substr(start, page.find('"', start) - start);
}

// A TCP connection to the server at port on 127.0.0.1, from the loopback
// address from.
UniqueFd connect_from(const char* from, int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, from, &address.sin_addr);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// What the server sent on fd until it closed it, waiting up to timeout.
std::string read_to_end(int fd, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  std::string got;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// Whether the server has closed fd (or reset it): what it sent first, if
// anything, in sent.
bool closed_by_server(int fd, std::string* sent = nullptr) {
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 0) <= 0) return false;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return true;
    if (sent != nullptr) sent->append(buffer, static_cast<size_t>(n));
  }
}

// Clients that open connections from 127.0.0.1 and send their request's
// header one byte a second, never ending it.
class Drippers {
 public:
  Drippers(int port, int count) {
    for (int i = 0; i < count; ++i) {
      fds_.push_back(connect_from("127.0.0.1", port));
      send(fds_.back().get(), "G", 1, MSG_NOSIGNAL);
    }
    sent_.resize(fds_.size());
    dripping_ = std::thread([this] {
      const std::string header = "ET / HTTP/1.1\r\nHost: x\r\nX-Slow: ";
      for (size_t at = 0; !stop_; ++at) {
        const char byte = at < header.size() ? header[at] : 'a';
        for (const UniqueFd& fd : fds_) send(fd.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int tick = 0; tick < 10 && !stop_; ++tick) std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~Drippers() {
    stop_ = true;
    dripping_.join();
  }
  // Waits up to timeout until the server has closed at least count of
  // them; how many it has closed.
  int wait_closed(int count, std::chrono::milliseconds timeout) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    int now_closed = closed();
    while (now_closed < count && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(50ms);
      now_closed = closed();
    }
    return now_closed;
  }
  // How many the server has closed.
  int closed() const {
    int count = 0;
    for (size_t i = 0; i < fds_.size(); ++i) count += closed_by_server(fds_[i].get(), &sent_[i]);
    return count;
  }
  // What the server sent on each connection so far.
  const std::vector<std::string>& sent() const { return sent_; }

 private:
  std::vector<UniqueFd> fds_;
  mutable std::vector<std::string> sent_;
  std::atomic<bool> stop_{false};
  std::thread dripping_;
};

class OrveltWebTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }
  void TearDown() override {
    if (web_ == nullptr) return;
    const std::string err = web_->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  TestConfig config() const {
    return TestConfig(server_, blockdir_)
        .set("web_listen", "127.0.0.1:" + std::to_string(port_))
        .set("web_binddn", "cn=admin,dc=example,dc=org")
        .set("web_bindpw", "admin")
        .set("web_secure_cookies", "no");
  }
  void start(const TestConfig& config) {
    config_path_ = config.write(dir_, "orvelt.cfg");
    web_ = std::make_unique<DaemonProcess>(
        DaemonStart{ORVELT_WEB_BINARY, {"-c", config_path_}, {}, -1});
    for (int i = 0; i < 200; ++i) {
      if (client().Get("/")) return;
      std::this_thread::sleep_for(50ms);
    }
    FAIL() << "orvelt-web does not answer: " << web_->err();
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(20, 0);
    return c;
  }
  httplib::Result post(const std::string& path, const std::string& body,
                       const std::string& cookie = "", httplib::Headers headers = {}) const {
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return client().Post(path.c_str(), headers, body, kForm);
  }
  httplib::Result get(const std::string& cookie) const {
    return client().Get("/", httplib::Headers{{"Cookie", cookie}});
  }
  httplib::Result login(const std::string& address, const std::string& password,
                        httplib::Headers headers = {}) const {
    return post("/login", encoded({{"login", address}, {"password", password}}), "", headers);
  }
  // Logs in as jane, with the browser's zone tz when it is not empty: the
  // cookie ("orvelt_session=<id>") and the page's token.
  std::pair<std::string, std::string> logged_in(const std::string& tz = "") const {
    const httplib::Result res =
        tz.empty()
            ? login(kJane, kJanePassword)
            : post("/login", encoded({{"login", kJane}, {"password", kJanePassword}, {"tz", tz}}));
    EXPECT_TRUE(res && res->status == 303);
    if (!res) return {};
    const std::string set = res->get_header_value("Set-Cookie");
    const std::string cookie = set.substr(0, set.find(';'));
    const httplib::Result page = get(cookie);
    EXPECT_TRUE(page && page->status == 200);
    return {cookie, page ? csrf_of(page->body) : ""};
  }
  // The version of the values the session's page shows now.
  std::string version(const std::string& cookie) const {
    const httplib::Result page = get(cookie);
    EXPECT_TRUE(page && page->status == 200);
    return page ? hidden_of(page->body, "version") : "";
  }
  // The entry at dn as anyone may read it.
  Attributes entry(const std::string& dn) const {
    ProgramRun run;
    run.program = "/usr/bin/ldapsearch";
    run.args = {"-x", "-LLL", "-o", "ldif-wrap=no", "-H", server_.url(), "-b", dn, "-s", "base"};
    const ProgramResult result = run_program(run);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    Attributes attributes;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      if (line.compare(colon, 3, ":: ") == 0) {
        attributes.emplace(line.substr(0, colon), base64_decoded(line.substr(colon + 3)));
      } else if (line.compare(colon, 2, ": ") == 0) {
        attributes.emplace(line.substr(0, colon), line.substr(colon + 2));
      }
    }
    return attributes;
  }
  static std::string value(const Attributes& attributes, const std::string& name) {
    const auto it = attributes.find(name);
    return it == attributes.end() ? "<absent>" : it->second;
  }
  bool logged(int priority, const std::string& text) const {
    return web_->wait_for_log(text, 5s) && ::logged(web_->log(), priority, text);
  }

  SlapdServer server_{SlapdOptions().entries(
      ldif_people_unit() +
      ldif_person("jane", kJane, "FALSE", {"Old text"}, "userPassword: jane-pw\n") +
      ldif_person("other", "other@site", "TRUE", {"Other is away"}, "userPassword: other-pw\n") +
      "dn: " + kPlainDn +
      "\nobjectClass: inetOrgPerson\nuid: plain\ncn: plain\nsn: plain\n"
      "mail: plain@site\nuserPassword: plain-pw\n\n")};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
  int port_ = free_port();
  std::string config_path_;
  std::unique_ptr<DaemonProcess> web_;
};

TEST_F(OrveltWebTest, ARightPasswordLogsInAWrongOneAndAnUnknownAddressFailAlike) {
  start(config());
  const httplib::Result ok = login(kJane, kJanePassword);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 303);
  EXPECT_EQ(ok->get_header_value("Location"), "/");
  const std::string cookie = ok->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie.size(),
            std::string("orvelt_session=; Path=/; HttpOnly; SameSite=Strict").size() + 64)
      << cookie;
  EXPECT_EQ(cookie.find("orvelt_session="), 0u);
  EXPECT_NE(cookie.find("; Path=/; HttpOnly; SameSite=Strict"), std::string::npos);
  EXPECT_EQ(cookie.find("Secure"), std::string::npos) << "web_secure_cookies no";
  const httplib::Result page = get(cookie.substr(0, cookie.find(';')));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Out of office is off"), std::string::npos);
  EXPECT_NE(page->body.find("Old text"), std::string::npos);

  // The directory sees the same requests for both (the time of the answer
  // must not tell which addresses exist): the web account's bind, then
  // binds refused as invalid credentials.
  const auto requests = [](const std::vector<SlapdBind>& binds) {
    std::vector<std::pair<int, int>> seen;
    for (const SlapdBind& bind : binds) seen.emplace_back(bind.version, bind.result);
    return seen;
  };
  const size_t before_wrong = server_.log_mark();
  const httplib::Result wrong = login(kJane, "guess");
  const size_t before_unknown = server_.log_mark();
  const httplib::Result unknown = login("nobody@site", "guess");
  std::vector<SlapdBind> wrong_binds = server_.binds_since(before_wrong);
  const std::vector<SlapdBind> unknown_binds = server_.binds_since(before_unknown);
  ASSERT_GE(wrong_binds.size(), unknown_binds.size());
  wrong_binds.resize(wrong_binds.size() - unknown_binds.size());  // the wrong password's own
  ASSERT_GE(unknown_binds.size(), 2u);
  EXPECT_EQ(unknown_binds.back().result, 49);
  EXPECT_EQ(requests(unknown_binds), requests(wrong_binds));
  const httplib::Result empty = login(kJane, "");
  for (const httplib::Result* res : {&wrong, &unknown, &empty}) {
    ASSERT_TRUE(*res);
    EXPECT_EQ((*res)->status, 401);
    EXPECT_TRUE((*res)->get_header_value("Set-Cookie").empty());
    EXPECT_NE((*res)->body.find("<p id=\"message\" role=\"alert\">Wrong address or password.</p>"),
              std::string::npos);
  }
  // The same page but for the address filled in again.
  std::string unknown_body = unknown->body;
  unknown_body.replace(unknown_body.find("nobody@site"), 11, kJane);
  EXPECT_EQ(wrong->body, unknown_body);
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for jane@site from 127.0.0.1"));
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for nobody@site from 127.0.0.1"));
}

TEST_F(OrveltWebTest, TheSixthFailureWithinAMinuteIsRefusedWithoutAskingTheDirectory) {
  start(config());
  const httplib::Headers from_a{{"X-Forwarded-For", "198.51.100.1, 10.0.0.1"}};
  for (int i = 0; i < 5; ++i) {
    const httplib::Result res = login(kJane, "guess" + std::to_string(i), from_a);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
  }
  const size_t mark = server_.log_mark();
  struct Case {
    const char* login;
    const char* password;
    const char* forwarded;
    int status;
  };
  for (const Case& c : {
           Case{kJane, kJanePassword, "10.0.0.2", 429},  // the login's limit
           // One person's typos do not lock out the others behind the
           // same proxy: the client's limit is far higher.
           Case{"other@site", "other-pw", "10.0.0.1", 303},
       }) {
    const httplib::Result res = login(c.login, c.password, {{"X-Forwarded-For", c.forwarded}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << c.login << " from " << c.forwarded;
    if (c.status == 429) {
      EXPECT_NE(res->body.find("Too many failed logins"), std::string::npos);
      EXPECT_TRUE(res->get_header_value("Set-Cookie").empty());
    }
  }
  for (const SlapdBind& bind : server_.binds_since(mark)) {
    EXPECT_NE(bind.dn, kJaneDn) << "the directory was asked for a limited login";
  }
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for jane@site from 10.0.0.1"));
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for jane@site from 10.0.0.2"));
}

TEST_F(OrveltWebTest, TheLimitsPerLoginAndPerClientAreTheConfigurations) {
  start(config().set("web_login_limit", "2").set("web_client_limit", "3"));
  struct Case {
    const char* login;
    const char* password;
    const char* forwarded;
    int status;
  };
  for (const Case& c : {
           Case{kJane, "guess", "10.0.0.1", 401},
           Case{kJane, "guess", "10.0.0.2", 401},
           Case{kJane, kJanePassword, "10.0.0.3", 429},  // jane failed twice
           Case{"nobody@site", "guess", "10.0.0.1", 401},
           Case{"other@site", "other-pw", "10.0.0.1", 303},  // two failures from 10.0.0.1
           Case{"nobody2@site", "guess", "10.0.0.1", 401},
           Case{"other@site", "other-pw", "10.0.0.1", 429},  // three
           Case{"other@site", "other-pw", "10.0.0.4", 303},
       }) {
    const httplib::Result res = login(c.login, c.password, {{"X-Forwarded-For", c.forwarded}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << c.login << " from " << c.forwarded;
  }
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for other@site from 10.0.0.1"));
}

TEST_F(OrveltWebTest, WrongPasswordsSentSideBySideFailNoMoreThanTheLimitAllows) {
  start(config());
  constexpr int kGuesses = 16;
  std::vector<int> statuses(kGuesses, 0);
  std::vector<std::thread> guessing;
  for (int i = 0; i < kGuesses; ++i) {
    guessing.emplace_back([&, i] {
      // Each from a client of its own: only the login's limit holds them.
      const httplib::Result res = login(kJane, "guess" + std::to_string(i),
                                        {{"X-Forwarded-For", "10.1.0." + std::to_string(i)}});
      statuses[i] = res ? res->status : -1;
    });
  }
  for (std::thread& thread : guessing) thread.join();
  int wrong = 0;
  for (const int status : statuses) {
    EXPECT_TRUE(status == 401 || status == 429) << status;
    wrong += status == 401;
  }
  // One at a time: exactly the limit's guesses reached the directory.
  EXPECT_EQ(wrong, 5);
  const httplib::Result right = login(kJane, kJanePassword, {{"X-Forwarded-For", "10.2.0.1"}});
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 429);
}

TEST_F(OrveltWebTest, TheClientIsTheLastForwardedAddressAlsoWhenTheProxyAddsALine) {
  start(config().set("web_client_limit", "5"));
  // The client sends an address of its choosing each time; the proxy adds
  // the one it saw on a line of its own.
  for (int i = 0; i < 6; ++i) {
    const httplib::Headers headers{{"X-Forwarded-For", "203.0.113." + std::to_string(i)},
                                   {"X-Forwarded-For", "10.0.0.7"}};
    const httplib::Result res = login("nobody" + std::to_string(i) + "@site", "guess", headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, i < 5 ? 401 : 429) << i;
  }
  EXPECT_TRUE(logged(LOG_WARNING, "WARN/WEB login failed for nobody0@site from 10.0.0.7"));
}

TEST_F(OrveltWebTest, SavingOnWritesTheAttributesAndThePageShowsThemInTheSessionsZone) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const httplib::Result res = post("/save",
                                   encoded({{"csrf", csrf},
                                            {"version", version(cookie)},
                                            {"active", "on"},
                                            {"start", "2024-07-01T08:00"},
                                            {"end", "2024-07-15T18:30"},
                                            {"tz", "Europe/Berlin"},
                                            {"text", "Back on Monday"}}),
                                   cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body;
  const Attributes jane = entry(kJaneDn);
  EXPECT_EQ(value(jane, "vacationActive"), "TRUE");
  EXPECT_EQ(value(jane, "vacationStart"), "20240701060000Z");
  EXPECT_EQ(value(jane, "vacationEnd"), "20240715163000Z");
  EXPECT_EQ(value(jane, "vacationInfo"), "Back on Monday");
  EXPECT_EQ(jane.count("vacationInfo"), 1u);
  EXPECT_EQ(value(jane, "mail"), kJane);
  EXPECT_TRUE(logged(LOG_INFO, "INFO/WEB jane@site saved on"));

  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  for (const char* part :
       {"Out of office is on", "value=\"2024-07-01T08:00\"", "value=\"2024-07-15T18:30\"",
        "value=\"Europe/Berlin\"", "<pre id=\"preview\">Back on Monday</pre>"}) {
    EXPECT_NE(page->body.find(part), std::string::npos) << part << "\n" << page->body;
  }
  // The sample configuration's filter ignores the dates: the page says so.
  EXPECT_NE(page->body.find("Dates take effect only with a query filter that uses $now"),
            std::string::npos);
}

TEST_F(OrveltWebTest, SavingOffWritesFalseKeepsTheTextAndRemovesEmptyDates) {
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nreplace: vacationActive\nvacationActive: TRUE\n-\n"
              "replace: vacationStart\nvacationStart: 20240701060000Z\n");
  start(config());
  const auto [cookie, csrf] = logged_in();
  const httplib::Result res = post(
      "/save",
      encoded(
          {{"csrf", csrf}, {"version", version(cookie)}, {"start", ""}, {"end", ""}, {"text", ""}}),
      cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body;
  const Attributes jane = entry(kJaneDn);
  EXPECT_EQ(value(jane, "vacationActive"), "FALSE");
  EXPECT_EQ(value(jane, "vacationInfo"), "Old text");
  EXPECT_EQ(value(jane, "vacationStart"), "<absent>");
  EXPECT_TRUE(logged(LOG_INFO, "INFO/WEB jane@site saved off"));
}

TEST_F(OrveltWebTest, SavingOffWithoutTheTextsKeepsTheInternalTextToo) {
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nreplace: vacationActive\nvacationActive: TRUE\n-\n"
              "replace: vacationInfoInternal\nvacationInfoInternal: Ask Bob\n");
  start(config().set("internal_result", "vacationInfoInternal"));
  const auto [cookie, csrf] = logged_in();
  const httplib::Result off =
      post("/save", encoded({{"csrf", csrf}, {"version", version(cookie)}}), cookie);
  ASSERT_TRUE(off);
  EXPECT_EQ(off->status, 303) << off->body;
  Attributes jane = entry(kJaneDn);
  EXPECT_EQ(value(jane, "vacationActive"), "FALSE");
  EXPECT_EQ(value(jane, "vacationInfo"), "Old text");
  EXPECT_EQ(value(jane, "vacationInfoInternal"), "Ask Bob");
  // Switched on, an empty internal text is removed as before.
  const httplib::Result on = post(
      "/save",
      encoded({{"csrf", csrf}, {"version", version(cookie)}, {"active", "on"}, {"text", "Away"}}),
      cookie);
  ASSERT_TRUE(on);
  EXPECT_EQ(on->status, 303) << on->body;
  jane = entry(kJaneDn);
  EXPECT_EQ(value(jane, "vacationInfo"), "Away");
  EXPECT_EQ(value(jane, "vacationInfoInternal"), "<absent>");
}

TEST_F(OrveltWebTest, AMissingOrWrongTokenIsRefusedAndNothingWritten) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const Attributes before = entry(kJaneDn);
  std::string wrong = csrf;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  for (const std::string& token : {std::string(), wrong, std::string("x")}) {
    std::vector<std::pair<std::string, std::string>> fields{{"active", "on"}, {"text", "Hacked"}};
    if (!token.empty()) fields.emplace_back("csrf", token);
    const httplib::Result res = post("/save", encoded(fields), cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403) << token;
  }
  // The token in the query string counts for nothing either.
  const httplib::Result query =
      post("/save?csrf=" + csrf, encoded({{"active", "on"}, {"text", "Hacked"}}), cookie);
  ASSERT_TRUE(query);
  EXPECT_EQ(query->status, 403);
  const httplib::Result logout = post("/logout", "csrf=" + wrong, cookie);
  ASSERT_TRUE(logout);
  EXPECT_EQ(logout->status, 403);
  EXPECT_EQ(entry(kJaneDn), before);
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200) << "the refused logout ended the session";
  EXPECT_EQ(csrf_of(page->body), csrf);
}

TEST_F(OrveltWebTest, WithoutAValidSessionEveryPostButLoginIsUnauthorised) {
  start(config());
  const std::string unknown = "orvelt_session=" + std::string(64, 'a');
  for (const char* path : {"/save", "/logout", "/anything"}) {
    for (const std::string& cookie : {std::string(), unknown}) {
      const httplib::Result res = post(path, "csrf=x&active=on&text=Hacked", cookie);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 401) << path << " " << cookie;
    }
  }
  const httplib::Result page = get(unknown);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("name=\"password\""), std::string::npos) << "no login form";
  EXPECT_EQ(value(entry(kJaneDn), "vacationActive"), "FALSE");
}

TEST_F(OrveltWebTest, ATextWithMarkupIsShownEscaped) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const std::string text = "<script>alert('x')</script> & \"more\"";
  const httplib::Result res = post("/save",
                                   encoded({{"csrf", csrf},
                                            {"version", version(cookie)},
                                            {"active", "on"},
                                            {"tz", "UTC"},
                                            {"text", text}}),
                                   cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(value(entry(kJaneDn), "vacationInfo"), text);
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body.find("<script>"), std::string::npos);
  const std::string escaped =
      "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;more&quot;";
  EXPECT_NE(page->body.find(">\n" + escaped + "</textarea>"), std::string::npos) << page->body;
  EXPECT_NE(page->body.find("<pre id=\"preview\">" + escaped), std::string::npos);
}

TEST_F(OrveltWebTest, AnotherDnOrAttributeInTheFormIsIgnored) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const Attributes other_before = entry(kOtherDn);
  const httplib::Result res = post("/save",
                                   encoded({{"csrf", csrf},
                                            {"version", version(cookie)},
                                            {"dn", kOtherDn},
                                            {"active", "on"},
                                            {"tz", "UTC"},
                                            {"text", "Mine"},
                                            {"mail", "evil@site"},
                                            {"vacationInfo", "Injected"},
                                            {"userPassword", "x"},
                                            {"objectClass", "dcObject"}}),
                                   cookie + "; dn=" + kOtherDn);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(entry(kOtherDn), other_before);
  const Attributes jane = entry(kJaneDn);
  EXPECT_EQ(value(jane, "vacationInfo"), "Mine");
  EXPECT_EQ(jane.count("vacationInfo"), 1u);
  EXPECT_EQ(value(jane, "mail"), kJane);
  EXPECT_EQ(jane.count("mail"), 1u);
  EXPECT_EQ(jane.count("objectClass"), 2u);
}

TEST_F(OrveltWebTest, AnEntryWithoutTheVacationClassGetsIt) {
  start(config());
  const httplib::Result res = login("plain@site", "plain-pw");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 303);
  const std::string set = res->get_header_value("Set-Cookie");
  const std::string cookie = set.substr(0, set.find(';'));
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  const httplib::Result saved = post("/save",
                                     encoded({{"csrf", csrf_of(page->body)},
                                              {"version", hidden_of(page->body, "version")},
                                              {"active", "on"},
                                              {"text", "Gone"}}),
                                     cookie);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 303) << saved->body;
  const Attributes plain = entry(kPlainDn);
  EXPECT_EQ(value(plain, "vacationActive"), "TRUE");
  EXPECT_EQ(value(plain, "vacationInfo"), "Gone");
  bool has_class = false;
  for (auto [it, end] = plain.equal_range("objectClass"); it != end; ++it) {
    has_class = has_class || it->second == "orveltVacation";
  }
  EXPECT_TRUE(has_class);
}

TEST_F(OrveltWebTest, FieldErrorsAnswer400WithThePageAndWriteNothing) {
  start(config().set("blockexpire_attribute", "vacationInterval").set("blockexpire_max", "100"));
  const auto [cookie, csrf] = logged_in();
  const Attributes before = entry(kJaneDn);
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    const char* error_id;
  };
  for (const Case& c : {
           Case{{{"active", "on"}, {"text", ""}}, "text-error"},
           Case{{{"active", "on"},
                 {"text", "x"},
                 {"start", "2024-07-02T00:00"},
                 {"end", "2024-07-01T00:00"}},
                "end-error"},
           Case{{{"active", "on"}, {"text", "x"}, {"start", "soon"}}, "start-error"},
           Case{{{"active", "on"}, {"text", "x"}, {"tz", "Nowhere/Else"}}, "tz-error"},
           Case{{{"active", "on"}, {"text", "x"}, {"interval", "101"}}, "interval-error"},
           Case{{{"active", "on"}, {"text", "\xff\xfe"}}, "text-error"},
       }) {
    std::vector<std::pair<std::string, std::string>> fields = c.fields;
    fields.emplace_back("csrf", csrf);
    const httplib::Result res = post("/save", encoded(fields), cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << c.error_id;
    EXPECT_NE(res->body.find(std::string("class=\"error\" id=\"") + c.error_id + "\""),
              std::string::npos)
        << c.error_id << "\n"
        << res->body;
    EXPECT_NE(res->body.find("<button type=submit>Save</button>"), std::string::npos);
  }
  EXPECT_EQ(entry(kJaneDn), before);
}

TEST_F(OrveltWebTest, LogoutEndsTheSession) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const httplib::Result res = post("/logout", encoded({{"csrf", csrf}}), cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303);
  EXPECT_EQ(res->get_header_value("Location"), "/");
  EXPECT_NE(res->get_header_value("Set-Cookie").find("orvelt_session=; Path=/; Max-Age=0"),
            std::string::npos);
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("name=\"password\""), std::string::npos);
  const httplib::Result save =
      post("/save", encoded({{"csrf", csrf}, {"active", "on"}, {"text", "Late"}}), cookie);
  ASSERT_TRUE(save);
  EXPECT_EQ(save->status, 401);
  EXPECT_EQ(value(entry(kJaneDn), "vacationActive"), "FALSE");
}

TEST_F(OrveltWebTest, ThePageListsTheSendersOrveltAnswered) {
  RecordingMta mta;
  const TestConfig cfg = config();
  start(cfg);
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nreplace: vacationActive\nvacationActive: TRUE\n");
  const ProgramResult run =
      run_orvelt({"-c", config_path_, "-a", kJane},
                 "From: <friend@example.net>\nTo: jane@site\nSubject: Hi\n\nHi\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(mta.calls().size(), 1u);
  const auto [cookie, csrf] = logged_in();
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  const size_t list = page->body.find("<ul id=\"blocked\">\n<li>friend@example.net (");
  EXPECT_NE(list, std::string::npos) << page->body;
}

TEST_F(OrveltWebTest, TextsUpToTheLimitAreSavedLongerOnesGetAFieldErrorAndHugeBodies413) {
  start(config());
  const auto [cookie, csrf] = logged_in();
  const auto save = [&, &csrf = csrf, &cookie = cookie](const std::string& text) {
    return post("/save",
                encoded({{"csrf", csrf},
                         {"version", version(cookie)},
                         {"active", "on"},
                         {"tz", "UTC"},
                         {"text", text}}),
                cookie);
  };
  const std::string long_text(60000, 'x');
  httplib::Result res = save(long_text);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body.substr(0, 300);
  EXPECT_EQ(value(entry(kJaneDn), "vacationInfo"), long_text);
  // The limit counts the text with its line ends made LF.
  std::string lines;
  for (int i = 0; i < 32768; ++i) lines += "a\r\n";
  res = save(lines);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body.substr(0, 300);
  std::string unix_lines;
  for (int i = 0; i < 32768; ++i) unix_lines += "a\n";
  EXPECT_EQ(value(entry(kJaneDn), "vacationInfo"), unix_lines);

  const Attributes before = entry(kJaneDn);
  res = save(std::string(70000, 'y'));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_NE(res->body.find("class=\"error\" id=\"text-error\""), std::string::npos);
  EXPECT_NE(res->body.find("At most 65536 bytes."), std::string::npos);
  res = save(std::string(600000, 'z'));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 413);
  EXPECT_EQ(entry(kJaneDn), before);
  // The session and the server go on.
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST_F(OrveltWebTest, SlowClientsFromOneAddressNeitherLockThePageNorStayPastTheirTime) {
  start(config().set("web_trusted_proxies", "192.0.2.1").set("web_request_timeout", "3"));
  Drippers drippers(port_, 32);
  std::this_thread::sleep_for(300ms);
  const auto asked = std::chrono::steady_clock::now();
  const UniqueFd other = connect_from("127.0.0.2", port_);
  ASSERT_TRUE(other.valid());
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  send(other.get(), request.data(), request.size(), MSG_NOSIGNAL);
  const std::string answer = read_to_end(other.get(), 5s);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
  EXPECT_NE(answer.find("name=\"password\""), std::string::npos);
  // The connections beyond web_peer_limit were closed at once ...
  EXPECT_EQ(drippers.wait_closed(32 - 16, 1500ms), 32 - 16);
  // ... the others once their time was up, without an answer, though
  // they still send.
  EXPECT_EQ(drippers.wait_closed(32, 10s), 32);
  int unanswered = 0;
  for (const std::string& got : drippers.sent()) {
    unanswered += got.empty();
    if (!got.empty()) {
      EXPECT_EQ(got.rfind("HTTP/1.1 503 ", 0), 0u) << got;
    }
  }
  EXPECT_GE(unanswered, 16);
  const httplib::Result page = client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST_F(OrveltWebTest, ConnectionsFromATrustedProxyAreNotLimited) {
  start(config().set("web_request_timeout", "3"));  // 127.0.0.1 is a trusted proxy
  Drippers drippers(port_, 24);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(drippers.closed(), 0);
  const httplib::Result page = client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST_F(OrveltWebTest, SighupReadsTheConfigurationAgainAndKeepsItWhenTheFileIsBroken) {
  RecordingMta mta;
  const std::string other_blockdir = dir_.file("other-block");
  ASSERT_EQ(mkdir(other_blockdir.c_str(), 0700), 0);
  start(config());
  // Another block store where orvelt answered a sender for jane.
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nreplace: vacationActive\nvacationActive: TRUE\n");
  const std::string other_config =
      config().set("blockfiles", other_blockdir).write(dir_, "other.cfg");
  const ProgramResult run =
      run_orvelt({"-c", other_config, "-a", kJane},
                 "From: <friend@example.net>\nTo: jane@site\nSubject: Hi\n\nHi\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(mta.calls().size(), 1u);
  const auto [cookie, csrf] = logged_in();
  httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body.find("friend@example.net"), std::string::npos);

  config().set("blockfiles", other_blockdir).write(dir_, "orvelt.cfg");
  web_->signal(SIGHUP);
  ASSERT_TRUE(logged(LOG_INFO, "INFO/SYS configuration reloaded")) << web_->err();
  page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(csrf_of(page->body), csrf) << "the session did not survive";
  EXPECT_NE(page->body.find("<li>friend@example.net ("), std::string::npos) << page->body;

  ASSERT_EQ(unlink(config_path_.c_str()), 0);
  web_->signal(SIGHUP);
  ASSERT_TRUE(logged(LOG_WARNING,
                     "WARN/CFG reload failed: " + config_path_ + ": No such file or directory"));
  EXPECT_FALSE(web_->wait_exit(200ms).has_value());
  page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(csrf_of(page->body), csrf);
  EXPECT_NE(page->body.find("<li>friend@example.net ("), std::string::npos);
}

TEST_F(OrveltWebTest, RightPasswordsSentSideBySideAllLogIn) {
  start(config());
  constexpr int kLogins = 16;
  std::vector<int> statuses(kLogins, 0);
  std::vector<std::thread> logging_in;
  for (int i = 0; i < kLogins; ++i) {
    logging_in.emplace_back([&, i] {
      const httplib::Result res = login(i % 2 ? kJane : " JANE@site", kJanePassword);
      statuses[i] = res ? res->status : -1;
    });
  }
  for (std::thread& thread : logging_in) thread.join();
  for (const int status : statuses) EXPECT_EQ(status, 303);
  for (const LogRecord& record : web_->log()) {
    EXPECT_EQ(record.text.find("login failed"), std::string::npos) << record.text;
  }
}

TEST_F(OrveltWebTest, ALoginEndsTheSessionTheBrowserStillCarries) {
  start(config());
  const auto [jane_cookie, jane_csrf] = logged_in();
  // Someone else logs in on the same browser.
  const httplib::Result other =
      post("/login", encoded({{"login", "other@site"}, {"password", "other-pw"}}), jane_cookie);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 303);
  EXPECT_EQ(other->get_header_value_count("Set-Cookie"), 1u);
  EXPECT_EQ(other->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  const httplib::Result page = get(jane_cookie);
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("name=\"password\""), std::string::npos) << "jane's session lives";
  const httplib::Result save = post(
      "/save", encoded({{"csrf", jane_csrf}, {"active", "on"}, {"text", "Late"}}), jane_cookie);
  ASSERT_TRUE(save);
  EXPECT_EQ(save->status, 401);
  // A failed login ends it too.
  const auto [cookie, csrf] = logged_in();
  const httplib::Result wrong =
      post("/login", encoded({{"login", "other@site"}, {"password", "wrong"}}), cookie);
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_NE(wrong->get_header_value("Set-Cookie").find("orvelt_session=; Path=/; Max-Age=0"),
            std::string::npos);
  const httplib::Result after = get(cookie);
  ASSERT_TRUE(after);
  EXPECT_NE(after->body.find("name=\"password\""), std::string::npos);
}

TEST_F(OrveltWebTest, SigtermStopsTheServerCleanly) {
  start(config());
  web_->signal(SIGTERM);
  EXPECT_EQ(web_->wait_exit(10s), 0);
  EXPECT_TRUE(logged(LOG_INFO, "INFO/SYS stopped"));
}

// One server zone, browsers in others: the first page after the login
// shows the dates in the browser's zone, and a save that changes only the
// text writes the dates back exactly as stored.
TEST_F(OrveltWebTest, TheFirstPageShowsTheBrowsersZoneAndUnchangedDatesStayAsStored) {
  server_.add(
      "dn: " + std::string(kJaneDn) +
      "\nchangetype: modify\nreplace: vacationStart\nvacationStart: 20261201000000+0100\n-\n"
      "replace: vacationEnd\nvacationEnd: 20261231235959+0100\n");
  start(config());
  struct Case {
    const char* tz;  // empty: a browser without script
    const char* start;
    const char* end;
  };
  for (const Case& c :
       {Case{"America/New_York", "2026-11-30T18:00", "2026-12-31T17:59"},
        Case{"Asia/Tokyo", "2026-12-01T08:00", "2027-01-01T07:59"}, Case{"", nullptr, nullptr}}) {
    SCOPED_TRACE(c.tz);
    const auto [cookie, csrf] = logged_in(c.tz);
    const httplib::Result page = get(cookie);
    ASSERT_TRUE(page);
    // Without script the server's zone, named.
    const std::string zone = *c.tz != '\0' ? c.tz : hidden_of(page->body, "tz");
    ASSERT_NE(zone, "");
    EXPECT_NE(page->body.find("Times in " + zone + "."), std::string::npos) << page->body;
    if (c.start != nullptr) {
      EXPECT_EQ(date_of(page->body, "start"), c.start);
      EXPECT_EQ(date_of(page->body, "end"), c.end);
    }
    const std::string text = std::string("Away, seen from ") + (*c.tz != '\0' ? c.tz : "nowhere");
    const httplib::Result res = post("/save",
                                     encoded({{"csrf", csrf},
                                              {"version", hidden_of(page->body, "version")},
                                              {"tz", zone},
                                              {"dates_tz", hidden_of(page->body, "dates_tz")},
                                              {"active", "on"},
                                              {"start", date_of(page->body, "start")},
                                              {"end", date_of(page->body, "end")},
                                              {"text", text}}),
                                     cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 303) << res->body;
    const Attributes jane = entry(kJaneDn);
    EXPECT_EQ(value(jane, "vacationInfo"), text);
    EXPECT_EQ(value(jane, "vacationStart"), "20261201000000+0100");
    EXPECT_EQ(value(jane, "vacationEnd"), "20261231235959+0100");
  }
}

TEST_F(OrveltWebTest, ASkippedLocalTimeIsSavedMovedOnAndTheNextPageSaysSo) {
  start(config());
  const auto [cookie, csrf] = logged_in("Europe/Berlin");
  const httplib::Result res = post("/save",
                                   encoded({{"csrf", csrf},
                                            {"version", version(cookie)},
                                            {"tz", "Europe/Berlin"},
                                            {"active", "on"},
                                            {"start", "2026-03-29T02:30"},
                                            {"text", "Away"}}),
                                   cookie);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body;
  EXPECT_EQ(value(entry(kJaneDn), "vacationStart"), "20260329013000Z");
  const httplib::Result page = get(cookie);
  ASSERT_TRUE(page);
  EXPECT_EQ(date_of(page->body, "start"), "2026-03-29T03:30");
  EXPECT_NE(page->body.find("value=\"2026-03-29T03:30\"> <span class=\"note\" id=\"start-note\">"
                            "02:30 does not exist on 29 March; saved as 03:30</span>"),
            std::string::npos)
      << page->body;
  const httplib::Result again = get(cookie);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body.find("does not exist"), std::string::npos) << "said once, after the save";
}

TEST_F(OrveltWebTest, ASaveOverValuesChangedElsewhereGets409AndWritesNothing) {
  start(config());
  const auto [first, first_csrf] = logged_in();
  const auto [second, second_csrf] = logged_in();
  const std::string first_version = version(first);
  const std::string second_version = version(second);
  EXPECT_EQ(first_version, second_version);
  const auto save = [&](const std::string& cookie, const std::string& csrf,
                        const std::string& version, const std::string& text) {
    return post("/save",
                encoded({{"csrf", csrf}, {"version", version}, {"active", "on"}, {"text", text}}),
                cookie);
  };
  const httplib::Result saved = save(first, first_csrf, first_version, "First wins");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 303) << saved->body;
  // The second page still shows the values before that save; then an
  // administrator's change; then a form without a version at all.
  const std::string after_admin = version(first);
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nreplace: vacationInfo\nvacationInfo: Set by the admin\n");
  for (const std::string& stale : {second_version, after_admin, std::string()}) {
    SCOPED_TRACE(stale);
    const Attributes before = entry(kJaneDn);
    const httplib::Result late = save(second, second_csrf, stale, "Second loses");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 409);
    EXPECT_NE(late->body.find("Changed elsewhere since you opened this page"), std::string::npos)
        << late->body;
    // The values as they are now, and the version to save over them.
    EXPECT_NE(late->body.find(">\n" + value(before, "vacationInfo") + "</textarea>"),
              std::string::npos)
        << late->body;
    EXPECT_EQ(hidden_of(late->body, "version"), version(second));
    EXPECT_EQ(entry(kJaneDn), before);
  }
  const httplib::Result retried = save(second, second_csrf, version(second), "Second, again");
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->status, 303) << retried->body;
  EXPECT_EQ(value(entry(kJaneDn), "vacationInfo"), "Second, again");
}

TEST_F(OrveltWebTest, ThePageNamesTheEntrysAddressAndPreviewsBothReplies) {
  server_.add("dn: " + std::string(kJaneDn) +
              "\nchangetype: modify\nadd: vacationInfoInternal\nvacationInfoInternal: Ask Bob\n");
  // The sample sender's usual domain is internal here.
  start(config()
            .set("internal_result", "vacationInfoInternal")
            .set("internal_domains", "example.com site"));
  const httplib::Result res = login("Jane@SITE", kJanePassword);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 303);
  const std::string set = res->get_header_value("Set-Cookie");
  const httplib::Result page = get(set.substr(0, set.find(';')));
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<p>Logged in as jane@site.</p>"), std::string::npos) << page->body;
  EXPECT_EQ(page->body.find("Jane@SITE"), std::string::npos);
  EXPECT_NE(page->body.find("(from sender@example.net)</h3>\n<pre id=\"preview\">Old text</pre>"),
            std::string::npos)
      << page->body;
  EXPECT_NE(page->body.find("(from colleague@example.com)</h3>\n"
                            "<pre id=\"preview-internal\">Ask Bob</pre>"),
            std::string::npos)
      << page->body;
}

}  // namespace
