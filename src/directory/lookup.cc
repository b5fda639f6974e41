#include "directory/lookup.h"

#include <sys/time.h>
#include <syslog.h>

#include <chrono>
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

}  // namespace

DirectoryEntries::DirectoryEntries(LDAP* session, ConnectionGuard& guard, int message_id,
                                   std::string filter, StringList address_attributes)
    : session_(session),
      guard_(&guard),
      message_id_(message_id),
      time_left_ms_(kSearchTimeLimitSeconds * 1000),
      filter_(std::move(filter)),
      address_attributes_(std::move(address_attributes)) {}

DirectoryEntries::~DirectoryEntries() { close(); }

DirectoryEntries::DirectoryEntries(DirectoryEntries&& other) noexcept
    : session_(other.session_),
      guard_(other.guard_),
      message_id_(std::exchange(other.message_id_, -1)),
      ahead_(std::move(other.ahead_)),
      handed_(std::exchange(other.handed_, 0)),
      incomplete_(other.incomplete_),
      found_(other.found_),
      time_left_ms_(other.time_left_ms_),
      filter_(std::move(other.filter_)),
      address_attributes_(std::move(other.address_attributes_)) {
  other.ahead_.clear();
}

DirectoryEntries& DirectoryEntries::operator=(DirectoryEntries&& other) noexcept {
  if (this != &other) {
    close();
    session_ = other.session_;
    guard_ = other.guard_;
    message_id_ = std::exchange(other.message_id_, -1);
    ahead_ = std::move(other.ahead_);
    other.ahead_.clear();
    handed_ = std::exchange(other.handed_, 0);
    incomplete_ = other.incomplete_;
    found_ = other.found_;
    time_left_ms_ = other.time_left_ms_;
    filter_ = std::move(other.filter_);
    address_attributes_ = std::move(other.address_attributes_);
  }
  return *this;
}

void DirectoryEntries::close() {
  drop_ahead();
  // The server stops sending what nobody reads; the library drops what
  // still comes for the search.
  if (message_id_ >= 0) ldap_abandon_ext(session_, message_id_, nullptr, nullptr);
  message_id_ = -1;
}

Outcome DirectoryEntries::finish(int code) {
  message_id_ = -1;
  if (incomplete_ && code == LDAP_SUCCESS) code = LDAP_REFERRAL;
  const SearchEnd end = search_end(code);
  if (end != SearchEnd::kComplete) drop_ahead();
  switch (end) {
    case SearchEnd::kFailed:
      return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(code));
    case SearchEnd::kWrongQuery:
      if (g_config.loglevel > 0) log_message(LOG_WARNING, "WARN/LDAP Wrong query base?");
      break;
    case SearchEnd::kIncomplete:
      log_message(LOG_ERR, "WARN/LDAP %s for %s", ldap_err2string(code), log_safe(filter_).c_str());
      break;
    case SearchEnd::kComplete:
      if (!found_ && g_config.loglevel > 2) {
        log_message(LOG_DEBUG, "DEBUG/LDAP No match: %s", log_safe(filter_).c_str());
      }
      break;
  }
  return Outcome::done();
}

Outcome DirectoryEntries::read_message() {
  // The time spent waiting counts against the search's limit; the time
  // the caller spends between entries (a reply handed to the MTA) does not.
  timeval wait{time_left_ms_ / 1000, (time_left_ms_ % 1000) * 1000};
  LDAPMessage* received = nullptr;
  const auto began = std::chrono::steady_clock::now();
  const int type =
      time_left_ms_ > 0 ? ldap_result(session_, message_id_, LDAP_MSG_ONE, &wait, &received) : 0;
  time_left_ms_ -= std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - began)
                       .count();
  LdapResult message(received);
  if (type <= 0) {
    // Nothing more can be read: the session is of no further use for the
    // search, whose end is unknown.
    message_id_ = -1;
    drop_ahead();
    int code = LDAP_TIMEOUT;
    if (type == 0) guard_->note_time_limit_ran_out();
    if (type < 0 && !guard_->wait_ran_out()) {
      code = LDAP_OTHER;
      ldap_get_option(session_, LDAP_OPT_RESULT_CODE, &code);
      if (code == LDAP_NO_MEMORY) exit_no_memory();
    }
    return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(code));
  }
  switch (type) {
    case LDAP_RES_SEARCH_ENTRY:
      found_ = true;
      if (!incomplete_) ahead_.push_back(std::move(message));
      return Outcome::done();
    case LDAP_RES_SEARCH_REFERENCE:
      incomplete_ = true;
      drop_ahead();
      return Outcome::done();
    case LDAP_RES_SEARCH_RESULT: {
      int code = LDAP_OTHER;
      if (ldap_parse_result(session_, message.get(), &code, nullptr, nullptr, nullptr, nullptr,
                            0) != LDAP_SUCCESS) {
        code = LDAP_DECODING_ERROR;
      }
      if (code == LDAP_NO_MEMORY) exit_no_memory();
      return finish(code);
    }
    default:  // nothing a search asked for (an intermediate response)
      return Outcome::done();
  }
}

Result<std::optional<DirectoryEntry>> DirectoryEntries::next() {
  while (waiting() == 0 && message_id_ >= 0) {
    if (handed_ > 0) drop_ahead();  // the slots of entries handed over are reused
    if (Outcome read = read_message(); !read.ok()) return read;
  }
  if (waiting() == 0) return std::optional<DirectoryEntry>();
  // The message goes as soon as its values are copied out.
  const LdapResult entry = std::move(ahead_[handed_++]);
  return std::optional<DirectoryEntry>(
      directory_entry_of(session_, entry.get(), address_attributes_));
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
  std::string filter = search_filter_for(receiver, sender);
  std::vector<char*> attributes = lookup_attributes(address_attributes);
  session.guard().start_request();
  int message_id = -1;
  // The session's own size and time limits go to the server (none unless
  // set); the time limit of the search is kept here, while reading.
  const int status =
      ldap_search_ext(handle, g_config.base.c_str(), g_config.scope, filter.c_str(),
                      attributes.data(), 0, nullptr, nullptr, nullptr, -1, &message_id);
  if (status == LDAP_NO_MEMORY) exit_no_memory();
  if (status != LDAP_SUCCESS) {
    const int code = session.guard().wait_ran_out() ? LDAP_TIMEOUT : status;
    return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(code));
  }
  DirectoryEntries entries(handle, session.guard(), message_id, std::move(filter),
                           address_attributes);
  while (entries.message_id_ >= 0 && entries.waiting() < kEntriesReadAhead) {
    if (Outcome read = entries.read_message(); !read.ok()) return read;
  }
  return entries;
}
