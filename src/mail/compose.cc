#include "mail/compose.h"

#include <string_view>
#include <vector>

#include "config/config.h"
#include "mail/encoded_words.h"
#include "util/generalized_time.h"
#include "util/substitute.h"

namespace {

// The text of file when one is configured; empty when none is.
Result<std::string> frame_part(const OptionalText& file) {
  if (!file) return std::string();
  return read_text_file(*file, kFrameFileLimit);
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

// The References of a reply (RFC 5322, 3.6.4): the message's own
// References, then its Message-ID; either alone when the other is absent.
std::string references_chain(const MailState& mail) {
  if (!mail.references) return mail.message_id.value_or(std::string());
  if (!mail.message_id) return *mail.references;
  return *mail.references + " " + *mail.message_id;
}

// Without a Message-ID there is nothing to thread by: header lines that
// would carry it (In-Reply-To) are left out, not sent empty; so are those
// of the References chain when it is empty too.
std::string threading_header(const std::string& header, const MailState& mail) {
  if (mail.message_id) return header;
  std::string kept = without_lines_holding(header, g_config.map_messageid);
  if (mail.references) return kept;
  return without_lines_holding(kept, g_config.map_references);
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
  const std::string references = references_chain(mail);
  const std::string template_text = threading_header(frame.header, mail) + *text + frame.footer;
  const std::string subject_text =
      mail.subject ? decode_encoded_words(trim_blanks(*mail.subject)) : std::string();
  std::vector<std::string> dates;
  dates.reserve(entry.dates.size());
  for (const auto& date : entry.dates) dates.push_back(date_text(date.second));
  std::vector<Placeholder> placeholders = {
      {g_config.map_subject, value_or_empty(mail.subject)},
      {g_config.map_sender, value_or_empty(mail.sender)},
      {g_config.map_receiver, receiver},
      {g_config.map_messageid, value_or_empty(mail.message_id)},
      {g_config.map_references, references},
      {g_config.map_subject_text, subject_text},
  };
  placeholders.reserve(placeholders.size() + entry.fields.size() + dates.size());
  for (const auto& [name, value] : entry.fields) placeholders.push_back({name, value});
  for (size_t j = 0; j < dates.size(); ++j)
    placeholders.push_back({entry.dates[j].first, dates[j]});
  return fill_in(template_text, placeholders, HeaderValues::kCleaned);
}
