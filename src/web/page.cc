#include "web/page.h"

#include <utility>

#include "config/config.h"
#include "mail/compose.h"
#include "mail/mail_state.h"

namespace {

constexpr const char* kHead =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<title>Out of office</title>\n<style>\n"
    "body{font-family:sans-serif;margin:0 auto;max-width:40em;padding:1em}\n"
    "label{display:block;font-weight:bold;margin-top:1em}\n"
    "input[type=checkbox]+label{display:inline}\n"
    "input,textarea,button{font:inherit;max-width:100%;box-sizing:border-box}\n"
    "textarea{width:100%}\npre{white-space:pre-wrap;border:1px solid #888;padding:.5em}\n"
    ".error,#message{color:#a00}\n.note{color:#750}\n</style>\n</head>\n<body>\n<main>\n<h1>Out of "
    "office</h1>\n";
constexpr const char* kFoot = "</main>\n</body>\n</html>\n";

std::string message_line(std::string_view message) {
  if (message.empty()) return {};
  return "<p id=\"message\" role=\"alert\">" + html_escape(message) + "</p>\n";
}

std::string error_of(const PageView& view, const std::string& field) {
  const auto it = view.errors.find(field);
  if (it == view.errors.end()) return {};
  return " <span class=\"error\" id=\"" + field + "-error\">" + html_escape(it->second) + "</span>";
}

std::string note_of(const PageView& view, const std::string& field) {
  const auto it = view.notes.find(field);
  if (it == view.notes.end()) return {};
  return " <span class=\"note\" id=\"" + field + "-note\">" + html_escape(it->second) + "</span>";
}

std::string hidden(const char* name, std::string_view value) {
  return std::string("<input type=\"hidden\" name=\"") + name + "\" id=\"" + name + "\" value=\"" +
         html_escape(value) + "\">\n";
}

std::string date_field(const PageView& view, const std::string& name, const char* label,
                       const std::string& value) {
  return "<label for=\"" + name + "\">" + label + "</label>\n<input type=\"datetime-local\" id=\"" +
         name + "\" name=\"" + name + "\" value=\"" + html_escape(value) + "\">" +
         error_of(view, name) + note_of(view, name) + "\n";
}

// A textarea keeps its text exactly: the line break after the opening tag
// is the one the parser drops, so a text that begins with one keeps it.
std::string text_field(const PageView& view, const std::string& name, const char* label,
                       const std::string& value) {
  return "<label for=\"" + name + "\">" + label + "</label>\n<textarea id=\"" + name +
         "\" name=\"" + name + "\" rows=\"8\">\n" + html_escape(value) + "</textarea>" +
         error_of(view, name) + "\n";
}

std::string interval_field(const PageView& view) {
  if (!view.interval) return {};
  const std::string low = std::to_string(view.interval_min);
  const std::string high = std::to_string(view.interval_max);
  return "<label for=\"interval\">Hours before a sender is answered again (" + low + " to " + high +
         ", empty: the default)</label>\n<input type=\"number\" id=\"interval\" "
         "name=\"interval\" min=\"" +
         low + "\" max=\"" + high + "\" value=\"" + html_escape(*view.interval) + "\">" +
         error_of(view, "interval") + "\n";
}

std::string settings_form(const PageView& view) {
  // tz is the browser's zone once the script ran; dates_tz stays the zone
  // the dates below are written in, which they are read in.
  std::string form = "<form method=\"post\" action=\"/save\">\n" + hidden("csrf", view.csrf) +
                     hidden("version", view.version) + hidden("tz", view.zone) +
                     hidden("dates_tz", view.zone);
  form += std::string("<p><input type=\"checkbox\" id=\"active\" name=\"active\" value=\"on\"") +
          (view.active ? " checked" : "") + "> <label for=\"active\">Switched on</label></p>\n";
  form += date_field(view, "start", "From", view.start);
  form += date_field(view, "end", "Until", view.end);
  form += "<p class=\"zone\">Times in " + html_escape(view.zone) + "." + error_of(view, "tz") +
          "</p>\n";
  form += text_field(view, "text", "Reply", view.text);
  if (view.internal_text) {
    form += text_field(view, "internal_text", "Reply to colleagues", *view.internal_text);
  }
  form += interval_field(view);
  return form + "<p><button type=submit>Save</button></p>\n</form>\n";
}

std::string preview_part(const PageView& view) {
  std::string part = "<h2>Preview</h2>\n";
  if (!view.preview_problem.empty()) {
    return part + "<p class=\"error\">" + html_escape(view.preview_problem) + "</p>\n";
  }
  if (!view.internal_preview) {
    return part + "<pre id=\"preview\">" + html_escape(view.preview) + "</pre>\n";
  }
  return part + "<h3>To others (from " + html_escape(view.preview_sender) +
         ")</h3>\n<pre id=\"preview\">" + html_escape(view.preview) +
         "</pre>\n<h3>To colleagues (from " + html_escape(view.internal_preview_sender) +
         ")</h3>\n<pre id=\"preview-internal\">" + html_escape(*view.internal_preview) + "</pre>\n";
}

std::string blocked_part(const PageView& view) {
  std::string part = "<h2>Senders answered lately</h2>\n";
  if (!view.blocked_problem.empty()) {
    return part + "<p class=\"error\">" + html_escape(view.blocked_problem) + "</p>\n";
  }
  if (view.blocked.empty()) part += "<p>None: the next message of any sender is answered.</p>\n";
  part += "<ul id=\"blocked\">\n";
  for (const PageView::Blocked& line : view.blocked) {
    part += "<li>" + html_escape(line.sender) + " (" + html_escape(line.when) + ")" +
            (line.pending ? " (pending)" : "") + "</li>\n";
  }
  return part + "</ul>\n";
}

std::string logout_form(std::string_view csrf) {
  return "<form method=\"post\" action=\"/logout\">\n" + hidden("csrf", csrf) +
         "<p><button type=submit>Log out</button></p>\n</form>\n";
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string render_login(std::string_view login, std::string_view message) {
  return kHead + message_line(message) +
         "<form method=\"post\" action=\"/login\">\n"
         "<label for=\"login\">Address</label>\n"
         "<input type=\"text\" id=\"login\" name=\"login\" autocomplete=\"username\" "
         "autocapitalize=\"none\" required value=\"" +
         html_escape(login) +
         "\">\n<label for=\"password\">Password</label>\n"
         "<input type=\"password\" id=\"password\" name=\"password\" "
         "autocomplete=\"current-password\" required>\n" +
         hidden("tz", "") +
         "<p><button type=submit>Log in</button></p>\n</form>\n"
         "<script src=\"/tz.js\"></script>\n" +
         kFoot;
}

std::string render_page(const PageView& view) {
  std::string page = kHead;
  page += "<p>Logged in as " + html_escape(view.login) + ".</p>\n";
  page += std::string("<p id=\"status\"><strong>Out of office is ") + (view.active ? "on" : "off") +
          "</strong></p>\n";
  page += message_line(view.message);
  if (view.dates_need_filter) {
    page += "<p class=\"note\">Dates take effect only with a query filter that uses " +
            html_escape(view.now_placeholder) +
            "; this server's does not, so the out-of-office is on or off as switched, whatever "
            "the dates say.</p>\n";
  }
  page += settings_form(view) + preview_part(view) + blocked_part(view) + logout_form(view.csrf);
  return page + "<script src=\"/tz.js\"></script>\n" + kFoot;
}

std::string render_problem(std::string_view message, std::string_view csrf) {
  return kHead + message_line(message) + (csrf.empty() ? std::string() : logout_form(csrf)) + kFoot;
}

OptionalText preview_reply(const ReplyFrame& frame, const VacationSettings& settings,
                           const std::string& receiver, const std::string& sender) {
  MailState mail;
  mail.receivers = {receiver};
  mail.sender = sender;
  mail.subject = "Hello";
  mail.message_id = "<preview@example.com>";
  return compose_reply(frame, settings.entry, mail, receiver);
}

std::string preview_outsider() {
  for (const char* domain : {"example.com", "example.net", "example.org", "example.invalid"}) {
    std::string sender = std::string("sender@") + domain;
    bool internal = false;
    for (const std::string& own : g_config.internal_domains) {
      internal = internal || equals_ignore_case(own, domain);
    }
    if (!internal) return sender;
  }
  return "sender@example.invalid";
}

void add_previews(PageView& view, const ReplyFrame& frame, const VacationSettings& settings,
                  const std::string& receiver) {
  view.preview_sender = preview_outsider();
  const OptionalText reply = preview_reply(frame, settings, receiver, view.preview_sender);
  if (!reply) {
    view.preview_problem = "No preview: there is no text to send yet.";
    return;
  }
  view.preview = *reply;
  if (!g_config.internal_result || g_config.internal_domains.empty()) return;
  view.internal_preview_sender = "colleague@" + g_config.internal_domains.front();
  view.internal_preview =
      preview_reply(frame, settings, receiver, view.internal_preview_sender).value_or("");
}
