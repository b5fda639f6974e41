#include "directory/lookup.h"

#include <sys/time.h>
#include <syslog.h>

#include <string_view>
#include <vector>

#include "config/config.h"
#include "directory/connection_guard.h"
#include "util/generalized_time.h"
#include "util/log.h"
#include "util/substitute.h"

namespace {

// A directory that has not answered by then counts as failed: the process
// runs once per incoming message and must not hang the mail system.
constexpr time_t kSearchTimeLimitSeconds = 10;

// Whether the entries' internal texts are in use: both directives are set.
bool internal_texts_configured() {
  return g_config.internal_result && !g_config.internal_domains.empty();
}

// g_config.map_field_attributes (the result attribute among them), the
// map_date attributes and, when internal texts are in use, the
// internal_result attribute, as the null-terminated array the library
// takes. The library does not write through the pointers.
std::vector<char*> requested_attributes() {
  std::vector<char*> names;
  names.reserve(g_config.map_field_attributes.size() + g_config.map_date_attributes.size() + 2);
  for (const std::string& name : g_config.map_field_attributes) {
    names.push_back(const_cast<char*>(name.c_str()));
  }
  for (const std::string& name : g_config.map_date_attributes) {
    names.push_back(const_cast<char*>(name.c_str()));
  }
  if (internal_texts_configured()) names.push_back(g_config.internal_result->data());
  names.push_back(nullptr);
  return names;
}

// Whether sender gets the internal texts: they are in use and the part of
// sender after its last '@' equals one of the internal domains, ASCII case
// ignored.
bool sender_is_internal(const OptionalText& sender) {
  if (!internal_texts_configured() || !sender) return false;
  const size_t at = sender->rfind('@');
  if (at == std::string::npos) return false;
  const std::string_view domain = std::string_view(*sender).substr(at + 1);
  for (const std::string& internal : g_config.internal_domains) {
    if (equals_ignore_case(domain, internal)) return true;
  }
  return false;
}

// A map_date value as the reply shows it: a GeneralizedTime in local time
// with g_config.dateformat; any other value, or one whose formatted text
// does not fit, as it stands.
std::string date_text(const std::string& value) {
  const std::optional<time_t> instant = parse_generalized_time(value);
  if (!instant) return value;
  return format_local_time(*instant, g_config.dateformat).value_or(value);
}

// The first value of attribute in entry, or nothing.
OptionalText first_value(LDAP* session, LDAPMessage* entry, const std::string& attribute) {
  const LdapValues values(ldap_get_values(session, entry, attribute.c_str()));
  const char* first = values.first();
  if (first == nullptr) return std::nullopt;
  return std::string(first);
}

// The reply text of one entry whose reply value is value, framed by frame.
std::string compose_reply(LDAP* session, LDAPMessage* entry, const std::string& value,
                          const ReplyFrame& frame, const std::string& receiver,
                          const MailState& mail) {
  // Without a Message-ID there is nothing to thread by: header lines that
  // would carry it (In-Reply-To, References) are left out, not sent empty.
  OptionalText text =
      (mail.message_id ? frame.header
                       : without_lines_holding(frame.header, g_config.map_messageid)) +
      value + frame.footer;
  // Each step works on the outcome of the one before: a placeholder that a
  // replacement brings in is filled only by a later step.
  substitute(text, g_config.map_subject, mail.subject);
  substitute(text, g_config.map_sender, mail.sender);
  substitute(text, g_config.map_receiver, receiver);
  substitute(text, g_config.map_messageid, mail.message_id);
  const StringList& placeholders = g_config.map_field_placeholders;
  for (size_t j = 0; j < placeholders.size(); ++j) {
    substitute(text, placeholders[j],
               first_value(session, entry, g_config.map_field_attributes[j]));
  }
  const StringList& date_placeholders = g_config.map_date_placeholders;
  for (size_t j = 0; j < date_placeholders.size(); ++j) {
    const OptionalText date = first_value(session, entry, g_config.map_date_attributes[j]);
    substitute(text, date_placeholders[j], date ? OptionalText(date_text(*date)) : std::nullopt);
  }
  return std::move(*text);
}

// value with the bytes that are special in an LDAP string filter written as
// RFC 4515 escapes.
std::string escape_filter_value(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      const auto byte = static_cast<unsigned char>(c);
      escaped.push_back('\\');
      escaped.push_back(kHex[byte >> 4]);
      escaped.push_back(kHex[byte & 0x0f]);
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

// The session's reply frame, read from the forceheader and forcefooter
// files (in that order) when the session has none yet.
const ReplyFrame& reply_frame_of(DirectorySession& session) {
  if (!session.reply_frame()) {
    ReplyFrame frame;
    if (g_config.forceheader) frame.header = slurp_file(*g_config.forceheader).value_or("");
    if (g_config.forcefooter) frame.footer = slurp_file(*g_config.forcefooter).value_or("");
    session.set_reply_frame(std::move(frame));
  }
  return *session.reply_frame();
}

// Whether a search result code says the connection failed (the server is
// gone, did not answer in time, or is not serving now) rather than that the
// query is wrong (no such base, a bad filter), which retrying cannot mend.
bool lost_directory(int status) {
  switch (status) {
    case LDAP_SERVER_DOWN:
    case LDAP_TIMEOUT:
    case LDAP_CONNECT_ERROR:
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
      return true;
    default:
      return connection_wait_ran_out();
  }
}

}  // namespace

std::string search_filter_for(const std::string& receiver, const OptionalText& sender) {
  OptionalText filter = g_config.queryfilter;
  // First, so that no address brings the placeholder in. The time is only
  // read when the filter asks for it.
  if (!g_config.map_now.empty() && contains_ignore_case(*filter, g_config.map_now)) {
    substitute(filter, g_config.map_now, generalized_time_utc(time(nullptr)));
  }
  substitute(filter, g_config.map_receiver, escape_filter_value(receiver));
  const OptionalText escaped_sender =
      sender ? OptionalText(escape_filter_value(*sender)) : std::nullopt;
  substitute(filter, g_config.map_sender, escaped_sender);
  return std::move(*filter);
}

StringList directory_lookup(DirectorySession& session, const std::string& receiver,
                            const MailState& mail) {
  LDAP* const handle = session.handle();
  const std::string filter = search_filter_for(receiver, mail.sender);
  std::vector<char*> attributes = requested_attributes();
  timeval time_limit{kSearchTimeLimitSeconds, 0};
  LDAPMessage* chain = nullptr;
  const int status = ldap_search_st(handle, g_config.base.c_str(), g_config.scope, filter.c_str(),
                                    attributes.data(), 0, &time_limit, &chain);
  // A failed search may still have delivered a result message.
  const LdapResult result(chain);
  if (status == LDAP_NO_MEMORY) exit_no_memory();
  // The directory went away or stopped answering: the message must be tried
  // again later, not counted as delivered without its reply.
  if (status != LDAP_SUCCESS && lost_directory(status)) {
    log_fatal(LOG_ERR, "CRIT/LDAP %s",
              ldap_err2string(connection_wait_ran_out() ? LDAP_TIMEOUT : status));
  }
  if (status != LDAP_SUCCESS) {
    if (g_config.loglevel > 0) log_message(LOG_WARNING, "WARN/LDAP Wrong query base?");
    return {};
  }
  const int count = ldap_count_entries(handle, result.get());
  if (count <= 0) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/LDAP No match: %s", log_safe(filter).c_str());
    }
    return {};
  }

  const ReplyFrame& frame = reply_frame_of(session);
  const bool internal = sender_is_internal(mail.sender);
  StringList texts;
  texts.reserve(static_cast<size_t>(count));
  for (LDAPMessage* entry = ldap_first_entry(handle, result.get()); entry != nullptr;
       entry = ldap_next_entry(handle, entry)) {
    OptionalText value;
    if (internal) value = first_value(handle, entry, *g_config.internal_result);
    if (!value) value = first_value(handle, entry, g_config.result);
    if (value) texts.push_back(compose_reply(handle, entry, *value, frame, receiver, mail));
  }
  return texts;
}
