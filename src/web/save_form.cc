#include "web/save_form.h"

#include <httplib.h>

#include <optional>
#include <utility>

#include "config/config.h"
#include "util/generalized_time.h"
#include "util/strings.h"
#include "web/time_zone.h"

namespace {

std::string unix_lines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// The error of a text, or none.
std::optional<std::string> text_error(const std::string& text) {
  if (text.size() > kMaxTextBytes) return "At most 65536 bytes.";
  if (!valid_utf8(text) || text.find('\0') != std::string::npos) return "Not valid UTF-8 text.";
  return std::nullopt;
}

void check_texts(const SaveFields& fields, SaveCheck& check) {
  std::string text = unix_lines(fields.text);
  if (const auto error = text_error(text)) {
    check.errors["text"] = *error;
  } else if (fields.active && text.empty()) {
    check.errors["text"] = "Write the text that is sent while you are away.";
  }
  if (fields.active || !text.empty()) check.change.text = std::move(text);
  if (!g_config.internal_result) return;
  std::string internal = unix_lines(fields.internal_text);
  if (const auto error = text_error(internal)) check.errors["internal_text"] = *error;
  if (!internal.empty()) check.change.internal_text = std::move(internal);
}

void check_interval(const SaveFields& fields, SaveCheck& check) {
  if (!g_config.blockexpire_attribute) return;
  const std::string_view value = trim_blanks(fields.interval);
  if (value.empty()) return;
  const std::optional<int64_t> hours = parse_digits(value, 9);
  if (!hours || *hours < g_config.blockexpire_min || *hours > g_config.blockexpire_max) {
    check.errors["interval"] = "A whole number of hours from " +
                               std::to_string(g_config.blockexpire_min) + " to " +
                               std::to_string(g_config.blockexpire_max) + ".";
    return;
  }
  check.change.interval = static_cast<int>(*hours);
}

// One date field: its GeneralizedTime, or none when empty or wrong (then
// with its error).
OptionalText check_date(const std::string& name, const std::string& value,
                        const date::time_zone& zone, SaveCheck& check) {
  if (value.empty()) return std::nullopt;
  std::string stored = local_to_generalized(value, zone);
  if (stored.empty()) {
    check.errors[name] = "A date and time as YYYY-MM-DDTHH:MM.";
    return std::nullopt;
  }
  std::string note = skipped_time_note(value, zone);
  if (!note.empty()) check.notes[name] = std::move(note);
  return stored;
}

// The end must come after the start, whatever form each is stored in.
void check_order(SaveCheck& check) {
  if (!check.change.start || !check.change.end) return;
  const std::optional<time_t> start = parse_generalized_time(*check.change.start);
  const std::optional<time_t> end = parse_generalized_time(*check.change.end);
  if (start && end && *end <= *start) check.errors["end"] = "Until must be after from.";
}

void check_dates(const SaveFields& fields, SaveCheck& check) {
  if (const date::time_zone* browser = zone_named(fields.tz); browser && !fields.tz.empty()) {
    check.browser_zone = zone_name(*browser);
  }
  const std::string& name = fields.dates_tz.empty() ? fields.tz : fields.dates_tz;
  const date::time_zone* zone = zone_named(name);
  if (zone == nullptr) {
    check.errors["tz"] = "Unknown time zone " + name + ".";
    return;
  }
  check.zone = zone_name(*zone);
  check.change.start = check_date("start", fields.start, *zone, check);
  check.change.end = check_date("end", fields.end, *zone, check);
  check_order(check);
}

}  // namespace

FormBody::FormBody(std::string_view body) {
  httplib::detail::parse_query_text(std::string(body), params_);
}

std::string FormBody::value(const std::string& name) const {
  // Equal names keep the order they came in: the first is the lower bound.
  const auto it = params_.lower_bound(name);
  return it == params_.end() || it->first != name ? std::string() : it->second;
}

SaveFields save_fields_of(const FormBody& form) {
  SaveFields fields;
  fields.active = form.value("active") == "on";
  fields.start = form.value("start");
  fields.end = form.value("end");
  fields.tz = form.value("tz");
  fields.dates_tz = form.value("dates_tz");
  fields.version = form.value("version");
  fields.text = form.value("text");
  fields.internal_text = form.value("internal_text");
  fields.interval = form.value("interval");
  return fields;
}

SaveFields save_fields_of(std::string_view body) { return save_fields_of(FormBody(body)); }

SaveCheck check_save(const SaveFields& fields) {
  SaveCheck check;
  check.change.active = fields.active;
  check_texts(fields, check);
  check_interval(fields, check);
  check_dates(fields, check);
  return check;
}

void keep_unchanged_dates(SaveCheck& check, const SaveFields& fields,
                          const VacationSettings& stored) {
  const date::time_zone* zone = zone_named(check.zone);
  if (zone == nullptr) return;
  const auto keep = [&](const char* name, const std::string& sent, const OptionalText& value,
                        OptionalText& change) {
    if (sent != generalized_to_local(value.value_or(""), *zone)) return;
    change = value;
    check.notes.erase(name);
  };
  keep("start", fields.start, stored.start, check.change.start);
  keep("end", fields.end, stored.end, check.change.end);
  check_order(check);
}

bool valid_utf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned int point = 0, lowest = 0;
    if (byte < 0x80) length = 1, point = byte;
    else if ((byte & 0xe0) == 0xc0) length = 2, point = byte & 0x1f, lowest = 0x80;
    else if ((byte & 0xf0) == 0xe0) length = 3, point = byte & 0x0f, lowest = 0x800;
    else if ((byte & 0xf8) == 0xf0) length = 4, point = byte & 0x07, lowest = 0x10000;
    else return false;
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      point = (point << 6) | (next & 0x3f);
    }
    if (point < lowest || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return false;
    i += length;
  }
  return true;
}
