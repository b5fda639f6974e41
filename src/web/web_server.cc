#include "web/web_server.h"

#include <syslog.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/config_snapshot.h"
#include "directory/account.h"
#include "store/block_store_open.h"
#include "util/host_port.h"
#include "util/log.h"
#include "web/blocked_senders.h"
#include "web/guarded_server.h"
#include "web/time_zone.h"

namespace {

constexpr const char* kWrongLogin = "Wrong address or password.";
constexpr const char* kTooMany = "Too many failed logins. Try again in a minute.";
constexpr const char* kNoDirectory = "The directory cannot be reached now. Try again later.";
// The bind of an unknown address: an RDN that no person's entry has.
constexpr const char* kNoEntryDn = "cn=orvelt-web unknown login,";
constexpr const char* kNoZoneData = "The server has no time zone data; dates cannot be shown.";
constexpr const char* kLogInFirst = "Log in first.";
constexpr const char* kChangedElsewhere =
    "Changed elsewhere since you opened this page: nothing was saved. The page shows the values "
    "as they are now.";
constexpr const char* kTooLarge = "The form is larger than this page takes.";

Outcome listen_failure(std::string_view text, const std::string& why) {
  return Outcome::config_error(LOG_ERR, "CRIT/IO web_listen " + log_safe(text) + ": " + why);
}

void send_html(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; "
                 "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
  res.set_content(body, "text/html; charset=utf-8");
}

void redirect_home(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_redirect("/", 303);
}

// Every X-Forwarded-For line of the request as one list, in the order they
// came: a proxy may add a line of its own after those the client sent
// rather than extend theirs.
std::string forwarded_for(const httplib::Request& req) {
  constexpr const char* kHeader = "X-Forwarded-For";
  std::string hops;
  for (size_t i = 0; i < req.get_header_value_count(kHeader); ++i) {
    if (i > 0) hops += ',';
    hops += req.get_header_value(kHeader, i);
  }
  return hops;
}

// The body of a POST, read whole: none when it is larger than
// kMaxFormBytes (413) or cannot be read (400), the answer given then. A
// multipart body is read and dropped: no form of this page sends one.
std::optional<FormBody> read_form(const httplib::Request& req, httplib::Response& res,
                                  const httplib::ContentReader& reader) {
  std::string body;
  bool too_large = false;
  bool read = false;
  if (req.is_multipart_form_data()) {
    read = reader(
        httplib::MultipartContentHeader([](const httplib::MultipartFormData&) { return true; }),
        httplib::ContentReceiver([](const char*, size_t) { return true; }));
  } else {
    read = reader(httplib::ContentReceiver([&](const char* data, size_t size) {
      too_large = size > kMaxFormBytes - body.size();
      if (!too_large) body.append(data, size);
      return !too_large;
    }));
  }
  if (read) return FormBody(body);
  // What is left of the body would be read as the next request.
  close_after_response(res);
  if (too_large || res.status == 413) {
    send_html(res, 413, render_problem(kTooLarge, ""));
  } else {
    res.status = 400;
  }
  return std::nullopt;
}

// Logs a failure the directory or the block store handed back.
void log_failure(const Outcome& failure) {
  log_message(failure.priority, "%s", failure.reason.c_str());
}

Result<DirectorySession> web_session() {
  return directory_connect_as(g_config.web_binddn, g_config.web_bindpw);
}

// The DN of the person that login and password name; none for an unknown
// login and a wrong password alike.
Result<std::optional<std::string>> authenticate(const std::string& login,
                                                const std::string& password) {
  if (login.empty() || password.empty()) return std::optional<std::string>();
  Result<DirectorySession> web = web_session();
  if (!web.ok()) return web.failure();
  Result<std::optional<std::string>> dn = account_find(*web, login);
  if (!dn.ok()) return dn;
  if (!dn->has_value()) {
    // An unknown address costs the same connection and binds as a wrong
    // password, so that the time of the answer does not tell which
    // addresses have an entry. The DN names no entry; its answer is not used.
    (void)account_check_password(kNoEntryDn + g_config.base, password);
    return dn;
  }
  const Result<bool> right = account_check_password(**dn, password);
  if (!right.ok()) return right.failure();
  return *right ? std::move(*dn) : std::optional<std::string>();
}

// The previews of the page: the replies sample senders would get.
void add_preview(PageView& view, const VacationSettings& settings, const std::string& receiver) {
  const Result<ReplyFrame> frame = reply_frame_load();
  if (!frame.ok()) {
    log_failure(frame.failure());
    view.preview_problem = "No preview: the header or footer of the replies cannot be read.";
    return;
  }
  add_previews(view, *frame, settings, receiver);
}

// The senders the person's records still hold back, newest first.
void add_blocked(PageView& view, const VacationSettings& settings, const std::string& login,
                 const date::time_zone& zone) {
  const std::string receiver = block_receiver_of(login, settings.entry);
  if (receiver.empty()) return;
  const std::unique_ptr<BlockStore> store = block_store_open(g_config);
  const Result<std::vector<BlockEntry>> records = store->records_of(receiver);
  if (!records.ok()) {
    log_failure(records.failure());
    view.blocked_problem = "The senders answered lately cannot be read now.";
    return;
  }
  for (const BlockedSender& sender :
       still_blocking(*records, time(nullptr), g_config.blockexpire)) {
    view.blocked.push_back({sender.sender, seconds_to_local(sender.time, zone), sender.pending});
  }
}

// The change to write over stored: switching off keeps the texts, so an
// internal text left empty then stays as stored, as the text does.
VacationChange change_over(VacationChange change, const VacationSettings& stored) {
  if (!change.active && !change.internal_text) change.internal_text = stored.internal_text;
  return change;
}

PageView stored_view(const VacationSettings& settings, const Session& session,
                     const date::time_zone& zone) {
  PageView view;
  view.login = account_own_address(settings, session.login);
  view.csrf = session.csrf;
  view.version = vacation_version(settings);
  view.active = settings.active;
  view.zone = zone_name(zone);
  view.start = generalized_to_local(settings.start.value_or(""), zone);
  view.end = generalized_to_local(settings.end.value_or(""), zone);
  view.text = settings.text.value_or("");
  if (g_config.internal_result) view.internal_text = settings.internal_text.value_or("");
  if (g_config.blockexpire_attribute) view.interval = settings.interval.value_or("");
  view.interval_min = g_config.blockexpire_min;
  view.interval_max = g_config.blockexpire_max;
  view.dates_need_filter = !contains_ignore_case(g_config.queryfilter, g_config.map_now);
  view.now_placeholder = g_config.map_now;
  return view;
}

// The values sent in place of the stored ones, with their errors.
void show_sent(PageView& view, const SaveFields& sent, const SaveCheck& check) {
  view.version = sent.version;
  view.active = sent.active;
  view.start = sent.start;
  view.end = sent.end;
  if (!check.zone.empty()) view.zone = check.zone;
  view.text = sent.text;
  if (view.internal_text) view.internal_text = sent.internal_text;
  if (view.interval) view.interval = sent.interval;
  view.errors = check.errors;
}

}  // namespace

Result<ListenAt> parse_web_listen(std::string_view text) {
  const char* why = nullptr;
  const std::optional<HostPort> parts = split_host_port(text, &why);
  if (!parts) return listen_failure(text, why);
  const std::optional<int64_t> port = parse_digits(parts->port, 5);
  if (!port || *port < 1 || *port > 65535) return listen_failure(text, "bad port");
  return ListenAt{parts->host, static_cast<int>(*port)};
}

WebApp::WebApp() : sessions_(std::chrono::minutes(g_config.web_session_idle)) {}

void WebApp::configuration_reloaded() {
  sessions_.set_idle(std::chrono::minutes(g_config.web_session_idle));
}

void WebApp::post_form(httplib::Server& server, const std::string& path, FormHandler handler) {
  server.Post(path, [this, handler](const httplib::Request& req, httplib::Response& res,
                                    const httplib::ContentReader& reader) {
    config_adopt_published();
    const std::optional<FormBody> form = read_form(req, res, reader);
    if (form) (this->*handler)(req, *form, res);
  });
}

void WebApp::install(httplib::Server& server) {
  server.Get("/",
             [this](const httplib::Request& req, httplib::Response& res) { get_root(req, res); });
  server.Get("/tz.js", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-cache");
    res.set_content(kZoneScript, "text/javascript; charset=utf-8");
  });
  post_form(server, "/login", &WebApp::post_login);
  post_form(server, "/save", &WebApp::post_save);
  post_form(server, "/logout", &WebApp::post_logout);
  post_form(server, ".*", &WebApp::post_other);
  server.set_payload_max_length(kMaxFormBytes);
}

std::optional<Session> WebApp::session_of(const httplib::Request& req) {
  const std::string id = session_id_of(req.get_header_value("Cookie"));
  if (id.empty()) return std::nullopt;
  return sessions_.find(id);
}

std::optional<Session> WebApp::checked_session(const httplib::Request& req, const FormBody& form,
                                               httplib::Response& res) {
  std::optional<Session> session = session_of(req);
  if (!session) {
    send_html(res, 401, render_login("", kLogInFirst));
    return std::nullopt;
  }
  if (!token_matches(session->csrf, form.value("csrf"))) {
    send_html(res, 403, render_problem("This form is out of date: load the page again.", ""));
    return std::nullopt;
  }
  return session;
}

void WebApp::get_root(const httplib::Request& req, httplib::Response& res) {
  config_adopt_published();
  const std::optional<Session> session = session_of(req);
  if (!session) return send_html(res, 200, render_login("", ""));
  respond_page(*session, res, 200, nullptr, nullptr, "");
}

void WebApp::respond_page(const Session& session, httplib::Response& res, int status,
                          const SaveFields* sent, const SaveCheck* check,
                          const std::string& message) {
  Result<DirectorySession> web = web_session();
  Result<VacationSettings> settings =
      web.ok() ? account_read(*web, session.dn) : Result<VacationSettings>(web.failure());
  if (!settings.ok()) {
    log_failure(settings.failure());
    return send_html(res, status == 200 ? 503 : 502, render_problem(kNoDirectory, session.csrf));
  }
  const date::time_zone* zone = zone_named(session.zone);
  if (zone == nullptr) zone = zone_named("");
  // Not even UTC: the machine has no time zone data (tzdata is missing).
  if (zone == nullptr) {
    return send_html(res, 500, render_problem(kNoZoneData, session.csrf));
  }
  PageView view = stored_view(*settings, session, *zone);
  if (sent != nullptr && check != nullptr) show_sent(view, *sent, *check);
  view.message = message;
  view.notes = sessions_.take_notes(session.id);
  add_preview(view, *settings, view.login);
  add_blocked(view, *settings, session.login, *zone);
  send_html(res, status, render_page(view));
}

void WebApp::post_login(const httplib::Request& req, const FormBody& form, httplib::Response& res) {
  const std::string login = form.value("login");
  const std::string client =
      client_address(req.remote_addr, forwarded_for(req), g_config.web_trusted_proxies);
  // Someone else may be at the keyboard: the session the browser still
  // carries ends, whoever logs in and however it goes.
  if (const std::optional<Session> carried = session_of(req)) {
    sessions_.remove(carried->id);
    res.set_header("Set-Cookie", expired_session_cookie(g_config.web_secure_cookies));
  }
  const auto failed = [&](int status, const char* message) {
    log_message(LOG_WARNING, "WARN/WEB login failed for %s from %s", log_safe(login).c_str(),
                log_safe(client).c_str());
    send_html(res, status, render_login(login, message));
  };
  LoginLimits limits;
  limits.per_login = static_cast<size_t>(g_config.web_login_limit);
  limits.per_client = static_cast<size_t>(g_config.web_client_limit);
  LoginLimit::Attempt attempt =
      limit_.begin(login, client, limits, std::chrono::seconds(g_config.web_request_timeout));
  if (attempt.turn() == LoginLimit::Turn::limited) return failed(429, kTooMany);
  // The attempts before it still ran when its time was up: the directory
  // is that slow.
  if (attempt.turn() == LoginLimit::Turn::busy) {
    return send_html(res, 503, render_login(login, kNoDirectory));
  }
  const Result<std::optional<std::string>> dn = authenticate(login, form.value("password"));
  // A directory that could not answer counts as a failure too: it tells
  // nothing about the password either way, and a guesser must not get
  // around the limit by making the directory slow.
  if (!dn.ok()) {
    attempt.failed();
    log_failure(dn.failure());
    return send_html(res, 503, render_login(login, kNoDirectory));
  }
  if (!dn->has_value()) {
    attempt.failed();
    return failed(401, kWrongLogin);
  }
  const std::optional<Session> session = sessions_.create(login, **dn);
  if (!session) return send_html(res, 500, render_login(login, "No session can be made now."));
  // The browser's zone, from the form's script: the first page shows it.
  const std::string tz = form.value("tz");
  if (const date::time_zone* zone = tz.empty() ? nullptr : zone_named(tz)) {
    sessions_.set_zone(session->id, zone_name(*zone));
  }
  // The new session's cookie in place of the ended one's expiry.
  res.headers.erase("Set-Cookie");
  res.set_header("Set-Cookie", session_cookie(session->id, g_config.web_secure_cookies));
  redirect_home(res);
}

void WebApp::post_save(const httplib::Request& req, const FormBody& form, httplib::Response& res) {
  std::optional<Session> session = checked_session(req, form, res);
  if (!session) return;
  const SaveFields sent = save_fields_of(form);
  SaveCheck check = check_save(sent);
  if (!check.browser_zone.empty()) {
    sessions_.set_zone(session->id, check.browser_zone);
    session->zone = check.browser_zone;
  }
  if (!check.ok()) return respond_page(*session, res, 400, &sent, &check, "");
  Result<DirectorySession> web = web_session();
  Result<VacationSettings> settings =
      web.ok() ? account_read(*web, session->dn) : Result<VacationSettings>(web.failure());
  Result<WriteOutcome> written = settings.failure();
  if (settings.ok()) {
    // Written only over the values the page showed: else the person sees
    // what the entry holds now, and nothing is written.
    if (sent.version != vacation_version(*settings)) {
      return respond_page(*session, res, 409, nullptr, nullptr, kChangedElsewhere);
    }
    keep_unchanged_dates(check, sent, *settings);
    if (!check.ok()) return respond_page(*session, res, 400, &sent, &check, "");
    written = account_write(*web, session->dn, change_over(check.change, *settings), *settings);
  }
  if (!written.ok()) {
    log_failure(written.failure());
    return respond_page(*session, res, 502, &sent, &check,
                        "Not saved: the directory did not take the change.");
  }
  if (*written == WriteOutcome::kChangedElsewhere) {
    return respond_page(*session, res, 409, nullptr, nullptr, kChangedElsewhere);
  }
  sessions_.set_notes(session->id, check.notes);
  if (check.change.active) {
    log_message(LOG_INFO, "INFO/WEB %s saved on", log_safe(session->login).c_str());
  } else {
    log_message(LOG_INFO, "INFO/WEB %s saved off", log_safe(session->login).c_str());
  }
  redirect_home(res);
}

void WebApp::post_logout(const httplib::Request& req, const FormBody& form,
                         httplib::Response& res) {
  const std::optional<Session> session = checked_session(req, form, res);
  if (!session) return;
  sessions_.remove(session->id);
  res.set_header("Set-Cookie", expired_session_cookie(g_config.web_secure_cookies));
  redirect_home(res);
}

void WebApp::post_other(const httplib::Request& req, const FormBody&, httplib::Response& res) {
  if (!session_of(req)) return send_html(res, 401, render_login("", kLogInFirst));
  send_html(res, 404, render_problem("No such page.", ""));
}
