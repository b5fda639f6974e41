#include "mail/compose.h"

#include <string_view>
#include <vector>

#include "config/config.h"
#include "util/generalized_time.h"
#include "util/substitute.h"

namespace {

// The text of file when one is configured; empty when none is.
Result<std::string> frame_part(const OptionalText& file) {
  if (!file) return std::string();
  return read_text_file(*file);
}

// A map_date value as the reply shows it.
std::string date_text(const std::string& value) {
  const std::optional<time_t> instant = parse_generalized_time(value);
  if (!instant) return value;
  return format_local_time(*instant, g_config.dateformat).value_or(value);
}

std::string_view value_or_empty(const OptionalText& text) {
  return text ? std::string_view(*text) : std::string_view();
}

}  // namespace

Result<ReplyFrame> reply_frame_load() {
  Result<std::string> header = frame_part(g_config.forceheader);
  if (!header.ok()) return header.failure();
  Result<std::string> footer = frame_part(g_config.forcefooter);
  if (!footer.ok()) return footer.failure();
  return ReplyFrame{std::move(*header), std::move(*footer)};
}

bool sender_is_internal(const OptionalText& sender) {
  if (!g_config.internal_result || g_config.internal_domains.empty() || !sender) return false;
  const size_t at = sender->rfind('@');
  if (at == std::string::npos) return false;
  const std::string_view domain = std::string_view(*sender).substr(at + 1);
  for (const std::string& internal : g_config.internal_domains) {
    if (equals_ignore_case(domain, internal)) return true;
  }
  return false;
}

bool reply_uses_internal_text(const DirectoryEntry& entry, const MailState& mail) {
  return entry.internal_text && sender_is_internal(mail.sender);
}

OptionalText compose_reply(const ReplyFrame& frame, const DirectoryEntry& entry,
                           const MailState& mail, const std::string& receiver) {
  const OptionalText& text =
      reply_uses_internal_text(entry, mail) ? entry.internal_text : entry.text;
  if (!text) return std::nullopt;
  // Without a Message-ID there is nothing to thread by: header lines that
  // would carry it (In-Reply-To, References) are left out, not sent empty.
  const std::string template_text =
      (mail.message_id ? frame.header
                       : without_lines_holding(frame.header, g_config.map_messageid)) +
      *text + frame.footer;
  std::vector<std::string> dates;
  dates.reserve(entry.dates.size());
  for (const auto& date : entry.dates) dates.push_back(date_text(date.second));
  std::vector<Placeholder> placeholders = {
      {g_config.map_subject, value_or_empty(mail.subject)},
      {g_config.map_sender, value_or_empty(mail.sender)},
      {g_config.map_receiver, receiver},
      {g_config.map_messageid, value_or_empty(mail.message_id)},
  };
  placeholders.reserve(placeholders.size() + entry.fields.size() + dates.size());
  for (const auto& [name, value] : entry.fields) placeholders.push_back({name, value});
  for (size_t j = 0; j < dates.size(); ++j)
    placeholders.push_back({entry.dates[j].first, dates[j]});
  return fill_in(template_text, placeholders, HeaderValues::kCleaned);
}
