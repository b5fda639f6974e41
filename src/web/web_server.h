// orvelt-web's HTTP interface on cpp-httplib's server:
//   GET  /        the login form, or the page of the person logged in
//   POST /login   login, password, tz: 303 to / with the session cookie; 401
//                 with the form for an unknown address or a wrong password
//                 alike; 429 once the login limit is reached; 503 when the
//                 directory cannot be asked. It ends the session the
//                 request's cookie names, whoever's it is
//   POST /save    csrf and the fields of save_form.h: 303 to / once
//                 written; 400 with the page and its field errors; 403 for
//                 a missing or wrong token (nothing written); 409 with the
//                 page of the values now stored when they are no longer
//                 those the form was made from (nothing written); 502 with
//                 the page when the directory fails
//   POST /logout  csrf: ends the session, 303 to /
//   GET  /tz.js   the line of script that fills in the browser's zone
// Every other POST, and these without a valid session, answer 401 before
// any token is looked at. Each request adopts the published configuration
// first and opens its own directory session. A form body is read whole, up
// to kMaxFormBytes (413 beyond), before its handler runs.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>

#include "util/outcome.h"
#include "util/strings.h"
#include "web/login_limit.h"
#include "web/page.h"
#include "web/save_form.h"
#include "web/session_store.h"

// Where the server listens: web_listen's host (an IPv6 one without its
// brackets) and port.
struct ListenAt {
  std::string host;
  int port = 0;
};

// web_listen's "HOST:PORT" or "[IPV6]:PORT", port 1 to 65535; a failure
// "CRIT/IO web_listen <text>: <why>" at priority err for anything else.
Result<ListenAt> parse_web_listen(std::string_view text);

// The largest form body taken: two texts of kMaxTextBytes, every byte
// percent-encoded, and the rest.
inline constexpr size_t kMaxFormBytes = 8 * kMaxTextBytes;

class WebApp {
 public:
  // Takes the session idle time from this thread's g_config.
  WebApp();
  // Registers the routes on server.
  void install(httplib::Server& server);
  // Takes the session idle time from this thread's g_config again, after
  // it was read anew; the sessions stay.
  void configuration_reloaded();

 private:
  using FormHandler = void (WebApp::*)(const httplib::Request&, const FormBody&,
                                       httplib::Response&);
  // Registers handler for POST path: it runs once the form body is read.
  void post_form(httplib::Server& server, const std::string& path, FormHandler handler);

  void get_root(const httplib::Request& req, httplib::Response& res);
  void post_login(const httplib::Request& req, const FormBody& form, httplib::Response& res);
  void post_save(const httplib::Request& req, const FormBody& form, httplib::Response& res);
  void post_logout(const httplib::Request& req, const FormBody& form, httplib::Response& res);
  void post_other(const httplib::Request& req, const FormBody& form, httplib::Response& res);

  // The session the request's cookie names, when it is valid.
  std::optional<Session> session_of(const httplib::Request& req);
  // The session of a POST whose form's token matches it; otherwise the
  // answer (401 or 403) is given and none returned.
  std::optional<Session> checked_session(const httplib::Request& req, const FormBody& form,
                                         httplib::Response& res);
  // Answers with the page of session: what the directory holds, or, with
  // check, the values sent and their errors.
  void respond_page(const Session& session, httplib::Response& res, int status,
                    const SaveFields* sent, const SaveCheck* check, const std::string& message);

  SessionStore sessions_;
  LoginLimit limit_;
};
