#include "directory/lookup.h"

#include <sys/time.h>
#include <syslog.h>

#include <vector>

#include "config/config.h"
#include "directory/connection.h"
#include "mail/mail_state.h"
#include "util/log.h"
#include "util/substitute.h"

namespace {

// A directory that has not answered by then counts as failed: the process
// runs once per incoming message and must not hang the mail system.
constexpr time_t kSearchTimeLimitSeconds = 10;

// g_config.map_field_attributes as the null-terminated array the library
// takes. The library does not write through the pointers.
std::vector<char*> requested_attributes() {
  std::vector<char*> names;
  names.reserve(g_config.map_field_attributes.size() + 1);
  for (const std::string& name : g_config.map_field_attributes) {
    names.push_back(const_cast<char*>(name.c_str()));
  }
  names.push_back(nullptr);
  return names;
}

// The first value of attribute in entry, or nothing.
OptionalText first_value(LDAPMessage* entry, const std::string& attribute) {
  const LdapValues values(ldap_get_values(directory_session.get(), entry, attribute.c_str()));
  const char* first = values.first();
  if (first == nullptr) return std::nullopt;
  return std::string(first);
}

// The reply text of one entry whose reply value is value.
std::string compose_reply(LDAPMessage* entry, const std::string& value,
                          const std::string& receiver) {
  OptionalText text = *header_text + value + *footer_text;
  // Each step works on the outcome of the one before: a placeholder that a
  // replacement brings in is filled only by a later step.
  substitute(text, g_config.map_subject, g_mail.subject);
  substitute(text, g_config.map_sender, g_mail.sender);
  substitute(text, g_config.map_receiver, receiver);
  const StringList& placeholders = g_config.map_field_placeholders;
  for (size_t j = 0; j < placeholders.size(); ++j) {
    substitute(text, placeholders[j], first_value(entry, g_config.map_field_attributes[j]));
  }
  return std::move(*text);
}

}  // namespace

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

std::string search_filter_for(const std::string& receiver) {
  OptionalText filter = g_config.queryfilter;
  substitute(filter, g_config.map_receiver, escape_filter_value(receiver));
  const OptionalText sender =
      g_mail.sender ? OptionalText(escape_filter_value(*g_mail.sender)) : std::nullopt;
  substitute(filter, g_config.map_sender, sender);
  return std::move(*filter);
}

void load_header_footer() {
  if (header_text || footer_text) return;
  if (g_config.forceheader) header_text = slurp_file(*g_config.forceheader);
  if (g_config.forcefooter) footer_text = slurp_file(*g_config.forcefooter);
  if (!header_text) header_text.emplace();
  if (!footer_text) footer_text.emplace();
}

StringList directory_lookup(const std::string& receiver) {
  const std::string filter = search_filter_for(receiver);
  std::vector<char*> attributes = requested_attributes();
  timeval time_limit{kSearchTimeLimitSeconds, 0};
  LDAPMessage* chain = nullptr;
  const int status =
      ldap_search_st(directory_session.get(), g_config.base.c_str(), g_config.scope,
                     filter.c_str(), attributes.data(), 0, &time_limit, &chain);
  // A failed search may still have delivered a result message.
  const LdapResult result(chain);
  if (status == LDAP_NO_MEMORY) exit_no_memory();
  if (status != LDAP_SUCCESS) {
    if (g_config.loglevel > 0) log_message(LOG_WARNING, "WARN/LDAP Wrong query base?");
    return {};
  }
  const int count = ldap_count_entries(directory_session.get(), result.get());
  if (count <= 0) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/LDAP No match: %s", log_safe(filter).c_str());
    }
    return {};
  }

  load_header_footer();
  StringList texts;
  texts.reserve(static_cast<size_t>(count));
  for (LDAPMessage* entry = ldap_first_entry(directory_session.get(), result.get());
       entry != nullptr; entry = ldap_next_entry(directory_session.get(), entry)) {
    const OptionalText value = first_value(entry, g_config.result);
    if (value) texts.push_back(compose_reply(entry, *value, receiver));
  }
  return texts;
}
