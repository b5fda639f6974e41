#include "directory/lookup.h"

#include <sys/time.h>
#include <syslog.h>

#include <string_view>
#include <utility>
#include <vector>

#include "config/config.h"
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

}  // namespace

std::vector<char*> lookup_attributes(const StringList& extra) {
  std::vector<char*> names;
  names.reserve(g_config.map_field_attributes.size() + g_config.map_date_attributes.size() +
                extra.size() + 3);
  for (const std::string& name : g_config.map_field_attributes) {
    names.push_back(const_cast<char*>(name.c_str()));
  }
  for (const std::string& name : g_config.map_date_attributes) {
    names.push_back(const_cast<char*>(name.c_str()));
  }
  if (internal_texts_configured()) names.push_back(g_config.internal_result->data());
  if (g_config.blockexpire_attribute) names.push_back(g_config.blockexpire_attribute->data());
  for (const std::string& name : extra) names.push_back(const_cast<char*>(name.c_str()));
  names.push_back(nullptr);
  return names;
}

namespace {}  // namespace

OptionalText first_value(LDAP* session, LDAPMessage* entry, const std::string& attribute) {
  const LdapValues values(ldap_get_values(session, entry, attribute.c_str()));
  const char* first = values.first();
  if (first == nullptr) return std::nullopt;
  return std::string(first);
}

namespace {

// Each placeholder of placeholders with the first value of the attribute
// at its index in attributes, empty when the entry lacks it.
std::vector<std::pair<std::string, std::string>> mapped_values(LDAP* session, LDAPMessage* entry,
                                                               const StringList& placeholders,
                                                               const StringList& attributes) {
  std::vector<std::pair<std::string, std::string>> mapped;
  mapped.reserve(placeholders.size());
  for (size_t j = 0; j < placeholders.size(); ++j) {
    mapped.emplace_back(placeholders[j],
                        first_value(session, entry, attributes[j]).value_or(std::string()));
  }
  return mapped;
}

// Every value of each of attributes in entry, in that order.
StringList all_values(LDAP* session, LDAPMessage* entry, const StringList& attributes) {
  StringList values;
  for (const std::string& attribute : attributes) {
    const LdapValues found(ldap_get_values(session, entry, attribute.c_str()));
    for (char* const* value = found.all(); value != nullptr && *value != nullptr; ++value) {
      values.emplace_back(*value);
    }
  }
  return values;
}

}  // namespace

std::string dn_of(LDAP* session, LDAPMessage* entry) {
  char* dn = ldap_get_dn(session, entry);
  if (dn == nullptr) return {};
  std::string text(dn);
  ldap_memfree(dn);
  return text;
}

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

namespace {

// What a finished search means for the receiver's replies.
enum class SearchEnd {
  kComplete,    // every entry the filter matches is in the result
  kWrongQuery,  // the base cannot be searched: nothing to answer with
  kIncomplete,  // more than the result holds: no entry may be used
  kFailed,      // the directory did not answer the question: try again later
};

// The search's end by its result code (references in a successful result
// count as a referral). The base not found or not a DN is a fault of the
// configured query that retrying cannot mend, logged as it always was. A
// result cut short by the size limit or handed elsewhere by a referral
// holds some of the entries at best: answering from a part could answer
// with the wrong entry, so that receiver gets none. Every other code, be it
// temporary (a time or administrative limit, the server busy, unavailable,
// unwilling, down or silent) or not (a filter the library cannot parse,
// access refused, a protocol error), leaves the answer unknown: dropping
// the receiver's reply for it would lose it silently.
SearchEnd search_end(int code) {
  switch (code) {
    case LDAP_SUCCESS:
      return SearchEnd::kComplete;
    case LDAP_NO_SUCH_OBJECT:
    case LDAP_INVALID_DN_SYNTAX:
      return SearchEnd::kWrongQuery;
    case LDAP_SIZELIMIT_EXCEEDED:
    case LDAP_REFERRAL:
    case LDAP_PARTIAL_RESULTS:  // the LDAPv2 form of a referral
      return SearchEnd::kIncomplete;
    default:
      return SearchEnd::kFailed;
  }
}

// The result code that stands for the search: status, or a referral when a
// successful result holds references (the session does not follow them).
int search_code(int status, LDAP* session, LDAPMessage* result) {
  if (status == LDAP_SUCCESS && ldap_count_references(session, result) > 0) return LDAP_REFERRAL;
  return status;
}

}  // namespace

DirectoryEntries::DirectoryEntries(LDAP* session, LdapResult result, StringList address_attributes)
    : session_(session),
      result_(std::move(result)),
      entry_(ldap_first_entry(session, result_.get())),
      address_attributes_(std::move(address_attributes)) {}

std::optional<DirectoryEntry> DirectoryEntries::next() {
  if (entry_ == nullptr) return std::nullopt;
  LDAPMessage* const entry = entry_;
  entry_ = ldap_next_entry(session_, entry);
  return directory_entry_of(session_, entry, address_attributes_);
}

DirectoryEntry directory_entry_of(LDAP* session, LDAPMessage* entry,
                                  const StringList& address_attributes) {
  DirectoryEntry data;
  data.dn = dn_of(session, entry);
  data.text = first_value(session, entry, g_config.result);
  if (internal_texts_configured()) {
    data.internal_text = first_value(session, entry, *g_config.internal_result);
  }
  data.fields =
      mapped_values(session, entry, g_config.map_field_placeholders, g_config.map_field_attributes);
  data.dates =
      mapped_values(session, entry, g_config.map_date_placeholders, g_config.map_date_attributes);
  data.addresses = all_values(session, entry, address_attributes);
  if (!address_attributes.empty()) {
    data.first_address = first_value(session, entry, address_attributes.front());
  }
  if (g_config.blockexpire_attribute) {
    data.interval = first_value(session, entry, *g_config.blockexpire_attribute);
  }
  return data;
}

std::string search_filter_for(const std::string& receiver, const OptionalText& sender) {
  const std::string& pattern = g_config.queryfilter;
  // The time is only read when the filter asks for it.
  std::string now;
  if (!g_config.map_now.empty() && contains_ignore_case(pattern, g_config.map_now)) {
    now = generalized_time_utc(time(nullptr));
  }
  const std::string escaped_receiver = escape_filter_value(receiver);
  const std::string escaped_sender = sender ? escape_filter_value(*sender) : std::string();
  const Placeholder placeholders[] = {
      {g_config.map_now, now},
      {g_config.map_receiver, escaped_receiver},
      {g_config.map_sender, escaped_sender},
  };
  return fill_in(pattern, placeholders);
}

Result<DirectoryEntries> directory_lookup(DirectorySession& session, const std::string& receiver,
                                          const OptionalText& sender,
                                          const StringList& address_attributes) {
  LDAP* const handle = session.handle();
  const std::string filter = search_filter_for(receiver, sender);
  std::vector<char*> attributes = lookup_attributes(address_attributes);
  timeval time_limit{kSearchTimeLimitSeconds, 0};
  LDAPMessage* chain = nullptr;
  session.guard().start_request();
  const int status = ldap_search_st(handle, g_config.base.c_str(), g_config.scope, filter.c_str(),
                                    attributes.data(), 0, &time_limit, &chain);
  // A failed search may still have delivered a result message.
  LdapResult result(chain);
  if (status == LDAP_NO_MEMORY) exit_no_memory();
  // The connection guard cut a wait short: whatever the library made of
  // that, the server went silent.
  const int code = status != LDAP_SUCCESS && session.guard().wait_ran_out()
                       ? LDAP_TIMEOUT
                       : search_code(status, handle, result.get());
  switch (search_end(code)) {
    case SearchEnd::kFailed:
      return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(code));
    case SearchEnd::kWrongQuery:
      if (g_config.loglevel > 0) log_message(LOG_WARNING, "WARN/LDAP Wrong query base?");
      return DirectoryEntries();
    case SearchEnd::kIncomplete:
      log_message(LOG_WARNING, "WARN/LDAP %s for %s", ldap_err2string(code),
                  log_safe(filter).c_str());
      return DirectoryEntries();
    case SearchEnd::kComplete:
      break;
  }
  if (ldap_count_entries(handle, result.get()) <= 0) {
    if (g_config.loglevel > 2) {
      log_message(LOG_DEBUG, "DEBUG/LDAP No match: %s", log_safe(filter).c_str());
    }
    return DirectoryEntries();
  }
  return DirectoryEntries(handle, std::move(result), address_attributes);
}
