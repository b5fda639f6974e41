#include "directory/account.h"

#include <sys/time.h>
#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "directory/ldap_handles.h"
#include "directory/lookup.h"
#include "util/address.h"
#include "util/substitute.h"

namespace {

// How long each search or write may take: a person waits at the page.
constexpr time_t kRequestTimeLimitSeconds = 10;

// The placeholder of web_login_filter that stands for the login.
constexpr const char* kLoginPlaceholder = "$login";

// The vacation attributes of the schema.
constexpr const char* kActiveAttribute = "vacationActive";
constexpr const char* kStartAttribute = "vacationStart";
constexpr const char* kEndAttribute = "vacationEnd";

// The failure of a request that ended with code ("Timed out" when the
// connection guard saw the server go silent).
Outcome request_failed(DirectorySession& session, int code) {
  if (session.guard().wait_ran_out()) code = LDAP_TIMEOUT;
  return Outcome::retry(LOG_ERR, std::string("CRIT/LDAP ") + ldap_err2string(code));
}

// One search on session. The result code, and the result message chain in
// result (also after a failure, when the library delivered one).
int run_search(DirectorySession& session, const std::string& base, int scope,
               const std::string& filter, std::vector<char*>& attributes, LdapResult& result) {
  timeval limit{kRequestTimeLimitSeconds, 0};
  LDAPMessage* chain = nullptr;
  session.guard().start_request();
  const int status = ldap_search_st(session.handle(), base.c_str(), scope, filter.c_str(),
                                    attributes.data(), 0, &limit, &chain);
  result = LdapResult(chain);
  if (status != LDAP_SUCCESS && session.guard().wait_ran_out()) return LDAP_TIMEOUT;
  return status;
}

// Whether attribute of entry holds value, in any letter case (object class
// names are matched so).
bool holds_value(LDAP* session, LDAPMessage* entry, const char* attribute, const char* value) {
  const LdapValues values(ldap_get_values(session, entry, attribute));
  for (char* const* v = values.all(); v != nullptr && *v != nullptr; ++v) {
    if (equals_ignore_case(*v, value)) return true;
  }
  return false;
}

// The changes of one modify request, each owning its attribute name and
// value, handed to the library as the array of LDAPMod pointers it takes.
// Values go as binary values: the library passes their bytes on as they
// are, whatever they hold.
class ModifyRequest {
 public:
  // Replaces every value of attribute with value; with none, removes the
  // attribute (a replace without values, which succeeds whether the entry
  // has the attribute or not).
  void replace(const std::string& attribute, OptionalText value) {
    changes_.push_back({LDAP_MOD_REPLACE, attribute, std::move(value)});
  }
  // Adds value to attribute.
  void add(const std::string& attribute, std::string value) {
    changes_.push_back({LDAP_MOD_ADD, attribute, std::move(value)});
  }
  // The null-terminated array; valid while the request lives unchanged.
  LDAPMod** mods() {
    pointers_.clear();
    for (Change& change : changes_) {
      change.values[0] = nullptr;
      if (change.value) {
        change.bytes = {static_cast<ber_len_t>(change.value->size()), change.value->data()};
        change.values[0] = &change.bytes;
      }
      change.values[1] = nullptr;
      change.mod.mod_op = change.op | LDAP_MOD_BVALUES;
      change.mod.mod_type = change.attribute.data();
      change.mod.mod_bvalues = change.values;
      pointers_.push_back(&change.mod);
    }
    pointers_.push_back(nullptr);
    return pointers_.data();
  }

 private:
  struct Change {
    int op;
    std::string attribute;
    OptionalText value;
    berval bytes{};
    berval* values[2] = {nullptr, nullptr};
    LDAPMod mod{};
  };
  std::deque<Change> changes_;  // a deque: the pointers into it stay valid
  std::vector<LDAPMod*> pointers_;
};

// The attributes that queryfilter compares for equality with the receiver
// placeholder ("mail" of "(mail=$recepient)"), each once, in filter order.
StringList receiver_attributes() {
  StringList names;
  const std::string& filter = g_config.queryfilter;
  const std::string& placeholder = g_config.map_receiver;
  if (placeholder.empty()) return names;
  for (size_t at = filter.find(placeholder); at != std::string::npos;
       at = filter.find(placeholder, at + placeholder.size())) {
    if (at < 2 || filter[at - 1] != '=') continue;
    size_t begin = at - 1;
    while (begin > 0) {
      const char c = filter[begin - 1];
      const bool name_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ';';
      if (!name_char) break;
      --begin;
    }
    // "(name=": not the '~', '<' or '>' of another match, nor an extensible one.
    if (begin == at - 1 || begin == 0 || filter[begin - 1] != '(') continue;
    std::string name = filter.substr(begin, at - 1 - begin);
    bool seen = false;
    for (const std::string& known : names) seen = seen || equals_ignore_case(known, name);
    if (!seen) names.push_back(std::move(name));
  }
  return names;
}

// Every value of each of attributes, in that order.
StringList values_of(LDAP* session, LDAPMessage* entry, const StringList& attributes) {
  StringList all;
  for (const std::string& attribute : attributes) {
    const LdapValues values(ldap_get_values(session, entry, attribute.c_str()));
    for (char* const* v = values.all(); v != nullptr && *v != nullptr; ++v) all.emplace_back(*v);
  }
  return all;
}

// The values a save's outcome depends on, attribute and value (none:
// absent), in one fixed order; the object class as its presence.
std::vector<std::pair<std::string, OptionalText>> asserted_values(const VacationSettings& shown) {
  std::vector<std::pair<std::string, OptionalText>> values = {
      {kActiveAttribute, shown.active_value},
      {kStartAttribute, shown.start},
      {kEndAttribute, shown.end},
      {g_config.result, shown.text},
  };
  if (g_config.internal_result) values.emplace_back(*g_config.internal_result, shown.internal_text);
  if (g_config.blockexpire_attribute) {
    values.emplace_back(*g_config.blockexpire_attribute, shown.interval);
  }
  return values;
}

// The filter that holds while the entry holds shown's values: an equality
// for each value, an absence for each absent attribute.
std::string assertion_filter(const VacationSettings& shown) {
  std::string filter = "(&";
  filter += shown.has_class ? "(objectClass=" : "(!(objectClass=";
  filter += std::string(kVacationClass) + (shown.has_class ? ")" : "))");
  for (const auto& [attribute, value] : asserted_values(shown)) {
    if (value) filter += "(" + attribute + "=" + escape_filter_value(*value) + ")";
    else filter += "(!(" + attribute + "=*))";
  }
  return filter + ")";
}

struct ControlFree {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
using LdapControl = std::unique_ptr<LDAPControl, ControlFree>;

// text unless it is empty: an empty value has no place in a directory
// string, and stands for no text.
OptionalText unless_empty(const OptionalText& text) {
  if (!text || text->empty()) return std::nullopt;
  return text;
}

}  // namespace

Result<std::optional<std::string>> account_find(DirectorySession& web, const std::string& login) {
  // No address holds one, and a server may compare values only up to it.
  if (login.find('\0') != std::string::npos) return std::optional<std::string>();
  const std::string escaped = escape_filter_value(login);
  const Placeholder placeholders[] = {{kLoginPlaceholder, escaped}};
  const std::string filter = fill_in(g_config.web_login_filter, placeholders);
  // The DN alone: no attribute is read.
  std::vector<char*> attributes = {const_cast<char*>(LDAP_NO_ATTRS), nullptr};
  LdapResult result(nullptr);
  const int code = run_search(web, g_config.base, g_config.scope, filter, attributes, result);
  // A size limit below two: more than one entry matched.
  if (code == LDAP_SIZELIMIT_EXCEEDED) return std::optional<std::string>();
  if (code != LDAP_SUCCESS) return request_failed(web, code);
  // A reference may lead to another entry of the login, which the session
  // does not follow: whether the one found is the only one is unknown.
  if (ldap_count_references(web.handle(), result.get()) > 0) {
    return request_failed(web, LDAP_REFERRAL);
  }
  if (ldap_count_entries(web.handle(), result.get()) != 1) return std::optional<std::string>();
  std::string dn = dn_of(web.handle(), ldap_first_entry(web.handle(), result.get()));
  if (dn.empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(dn));
}

Result<bool> account_check_password(const std::string& dn, const std::string& password) {
  return directory_credentials_valid(dn, password);
}

Result<VacationSettings> account_read(DirectorySession& web, const std::string& dn) {
  StringList extra = {"objectClass", kActiveAttribute, kStartAttribute, kEndAttribute,
                      g_config.result};
  if (g_config.internal_result) extra.push_back(*g_config.internal_result);
  extra.insert(extra.end(), g_config.alias_attributes.begin(), g_config.alias_attributes.end());
  const StringList receivers = receiver_attributes();
  extra.insert(extra.end(), receivers.begin(), receivers.end());
  std::vector<char*> attributes = lookup_attributes(extra);
  LdapResult result(nullptr);
  const int code = run_search(web, dn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, result);
  if (code != LDAP_SUCCESS) return request_failed(web, code);
  LDAP* const session = web.handle();
  LDAPMessage* const entry = ldap_first_entry(session, result.get());
  if (entry == nullptr) return request_failed(web, LDAP_NO_SUCH_OBJECT);
  VacationSettings settings;
  settings.dn = dn;
  settings.has_class = holds_value(session, entry, "objectClass", kVacationClass);
  settings.active_value = first_value(session, entry, kActiveAttribute);
  settings.active = settings.active_value && equals_ignore_case(*settings.active_value, "TRUE");
  settings.start = first_value(session, entry, kStartAttribute);
  settings.end = first_value(session, entry, kEndAttribute);
  settings.text = first_value(session, entry, g_config.result);
  if (g_config.internal_result) {
    settings.internal_text = first_value(session, entry, *g_config.internal_result);
  }
  if (g_config.blockexpire_attribute) {
    settings.interval = first_value(session, entry, *g_config.blockexpire_attribute);
  }
  settings.receiver_addresses = values_of(session, entry, receivers);
  settings.entry = directory_entry_of(session, entry, g_config.alias_attributes);
  return settings;
}

std::string account_own_address(const VacationSettings& settings, const std::string& login) {
  OptionalText address;
  for (const std::string& value : settings.receiver_addresses) {
    if (equals_ignore_case(value, login)) {
      address = value;
      break;
    }
  }
  if (!address && !settings.receiver_addresses.empty()) address = settings.receiver_addresses[0];
  normalize_address(address);
  if (address) return std::move(*address);
  OptionalText typed = login;
  normalize_address(typed);
  return typed ? std::move(*typed) : login;
}

std::string vacation_version(const VacationSettings& settings) {
  // FNV-1a over each value with its length, so that no two sequences of
  // values give the same bytes. Not a secret: it only has to differ.
  uint64_t hash = 0xcbf29ce484222325ULL;
  const auto add = [&hash](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001b3ULL;
    }
  };
  add(settings.has_class ? "class;" : "no class;");
  for (const auto& [attribute, value] : asserted_values(settings)) {
    add(value ? std::to_string(value->size()) + ":" : std::string("-"));
    if (value) add(*value);
  }
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

Result<WriteOutcome> account_write(DirectorySession& web, const std::string& dn,
                                   const VacationChange& change, const VacationSettings& shown) {
  ModifyRequest request;
  if (!shown.has_class) request.add("objectClass", kVacationClass);
  request.replace(kActiveAttribute, std::string(change.active ? "TRUE" : "FALSE"));
  request.replace(kStartAttribute, change.start);
  request.replace(kEndAttribute, change.end);
  if (change.text) request.replace(g_config.result, unless_empty(change.text));
  if (g_config.internal_result) {
    request.replace(*g_config.internal_result, unless_empty(change.internal_text));
  }
  if (g_config.blockexpire_attribute) {
    OptionalText hours;
    if (change.interval) hours = std::to_string(*change.interval);
    request.replace(*g_config.blockexpire_attribute, std::move(hours));
  }
  std::string filter = assertion_filter(shown);
  LDAPControl* made = nullptr;
  const int made_code = ldap_create_assertion_control(web.handle(), filter.data(), 1, &made);
  if (made_code != LDAP_SUCCESS) return request_failed(web, made_code);
  const LdapControl assertion(made);
  LDAPControl* controls[] = {assertion.get(), nullptr};
  web.guard().start_request();
  const int code = ldap_modify_ext_s(web.handle(), dn.c_str(), request.mods(), controls, nullptr);
  if (code == LDAP_ASSERTION_FAILED) return WriteOutcome::kChangedElsewhere;
  if (code != LDAP_SUCCESS) return request_failed(web, code);
  return WriteOutcome::kWritten;
}
