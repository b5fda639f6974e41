// The form that saves a person's out-of-office: its fields as sent, and
// their check, which turns them into the change to write or into the
// errors to show beside the fields.
#pragma once

#include <httplib.h>

#include <map>
#include <string>
#include <string_view>

#include "directory/account.h"

// A url-encoded form body (never the query string of the request), read
// once for every field a handler asks for.
class FormBody {
 public:
  explicit FormBody(std::string_view body);
  // The first value sent under name; empty when there is none.
  std::string value(const std::string& name) const;

 private:
  httplib::Params params_;
};

// Texts longer than this many bytes are refused.
inline constexpr size_t kMaxTextBytes = 65536;

// The fields as the browser sent them; the names of the form.
struct SaveFields {
  bool active = false;  // "active" was "on"
  std::string start;
  std::string end;
  std::string tz;  // the browser's zone, for the pages to come; empty: unknown
  // The zone the page showed the dates in, which they are read in; empty:
  // tz's.
  std::string dates_tz;
  // vacation_version of the values the page showed.
  std::string version;
  std::string text;
  std::string internal_text;
  std::string interval;
};

// The fields of a form body, each name's first value; any other name is
// ignored.
SaveFields save_fields_of(const FormBody& form);
SaveFields save_fields_of(std::string_view body);

struct SaveCheck {
  VacationChange change;
  // Field name ("text", "internal_text", "start", "end", "tz", "interval")
  // to the message shown beside it; empty when the change may be written.
  std::map<std::string, std::string> errors;
  // Field name ("start", "end") to what became of a local time the clocks
  // skip (skipped_time_note), for the page after the save.
  std::map<std::string, std::string> notes;
  // The zone the dates were read in, by name (when it is known).
  std::string zone;
  // The zone tz names, by name, when it names one.
  std::string browser_zone;
  bool ok() const { return errors.empty(); }
};

// Checks fields against this thread's g_config and makes the change:
//  - the texts, line ends made LF, must be valid UTF-8 without NUL bytes
//    and at most kMaxTextBytes each; the text must not be empty when the
//    out-of-office is switched on, and an empty one when it is off leaves
//    the stored text as it is;
//  - the internal text counts only with internal_result, the interval only
//    with blockexpire_attribute: a whole number of hours from
//    blockexpire_min to blockexpire_max, or empty (removed);
//  - start and end are local times in the zone dates_tz names (else tz's;
//    the server's when both are empty) or empty (removed), and the end must
//    come after the start; a time the clocks skip is moved on by the skip,
//    with a note.
SaveCheck check_save(const SaveFields& fields);

// Keeps in check's change each date of stored (the entry whose values the
// page showed) that the person did not change: a field sent as the page
// showed the stored value in check.zone is written back as stored, to the
// second and in its own form, and its note dropped. Then the end must
// still come after the start. For a check that is ok.
void keep_unchanged_dates(SaveCheck& check, const SaveFields& fields,
                          const VacationSettings& stored);

// Whether text is valid UTF-8 (shortest forms, no surrogates, nothing above
// U+10FFFF).
bool valid_utf8(std::string_view text);
