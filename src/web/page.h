// The HTML of orvelt-web: the login form and a person's out-of-office page.
// Server-rendered HTML5 that works without script (one line of script only
// fills in the browser's time zone) and on a phone. Every value from the
// directory, the block store or the request goes through html_escape.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/account.h"
#include "mail/compose.h"

// text with & < > " and ' replaced by their character references: safe as
// element text and inside a quoted attribute value.
std::string html_escape(std::string_view text);

// The script that fills in the tz field of the login form and of the save
// form (served as /tz.js).
inline constexpr const char* kZoneScript =
    "document.getElementById('tz').value=Intl.DateTimeFormat().resolvedOptions().timeZone;\n";

// The login form, with login filled in and message (empty: none) shown. Its
// tz field carries the browser's zone when script runs, so that the first
// page already shows the dates in it.
std::string render_login(std::string_view login, std::string_view message);

// Everything the page shows, as it is to be written into it.
struct PageView {
  std::string login;  // the entry's own address
  std::string csrf;
  std::string version;  // vacation_version of the values the form was made from
  bool active = false;
  std::string start;  // datetime-local values in zone, or empty
  std::string end;
  std::string zone;  // the name of the zone the dates are in (tz and dates_tz)
  std::string text;
  std::optional<std::string> internal_text;  // the field is shown when set
  std::optional<std::string> interval;       // the field is shown when set
  int interval_min = 0;
  int interval_max = 0;
  std::string preview;          // the reply as a sample sender gets it
  std::string preview_problem;  // why there is none, shown instead
  // With internal texts in use, the reply as a colleague gets it, and the
  // two sample senders.
  std::optional<std::string> internal_preview;
  std::string preview_sender;
  std::string internal_preview_sender;
  struct Blocked {
    std::string sender;
    std::string when;  // the time of the reply, as shown
    bool pending = false;
  };
  std::vector<Blocked> blocked;
  std::string blocked_problem;                // why the records could not be read
  std::map<std::string, std::string> errors;  // beside their fields
  std::map<std::string, std::string> notes;   // beside their fields: what a save did
  std::string message;                        // a save or directory error
  // The query filter does not use the time placeholder (this one): the
  // dates change nothing, which the page says.
  bool dates_need_filter = false;
  std::string now_placeholder;
};

// The page of view.
std::string render_page(const PageView& view);

// A page that shows only message (a directory that cannot be reached),
// with the logout button when csrf is not empty.
std::string render_problem(std::string_view message, std::string_view csrf);

// The sample reply of settings' entry to receiver: compose_reply with
// frame and a message from sender, subject "Hello", with a Message-ID; none
// when the entry has no text that applies.
OptionalText preview_reply(const ReplyFrame& frame, const VacationSettings& settings,
                           const std::string& receiver, const std::string& sender);

// The sample sender of the outsiders' preview: at example.com, or the first
// of example.net, example.org and example.invalid that g_config's
// internal_domains does not hold.
std::string preview_outsider();

// Fills in view's previews of settings' entry for receiver: the
// outsiders' (preview_outsider), and when internal texts are in use
// (internal_result and internal_domains set) the colleagues' too, from
// colleague@ the first internal domain. Without a text, preview_problem.
void add_previews(PageView& view, const ReplyFrame& frame, const VacationSettings& settings,
                  const std::string& receiver);
