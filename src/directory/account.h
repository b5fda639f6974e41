// A person's own vacation settings, for orvelt-web: finding the entry of a
// login, checking its password, and reading and writing only the vacation
// attributes of that one entry. The searches and writes go over a session
// bound as the web account (web_binddn, web_bindpw); the password check is a
// bind of its own as the person.
#pragma once

#include <optional>
#include <string>

#include "directory/connection.h"
#include "directory/entry.h"
#include "util/outcome.h"
#include "util/strings.h"

// The object class that allows the vacation attributes.
inline constexpr const char* kVacationClass = "orveltVacation";

// The vacation attributes of one entry as stored. Attribute names: the
// schema's vacationActive, vacationStart and vacationEnd; the text in
// g_config.result, the internal text in g_config.internal_result and the
// interval in g_config.blockexpire_attribute (each read only when
// configured).
struct VacationSettings {
  std::string dn;
  bool has_class = false;      // the entry holds kVacationClass
  bool active = false;         // vacationActive is TRUE
  OptionalText active_value;   // vacationActive as stored
  OptionalText start;          // GeneralizedTime as stored
  OptionalText end;            // GeneralizedTime as stored
  OptionalText text;           // first value of the result attribute
  OptionalText internal_text;  // first value of internal_result, when configured
  OptionalText interval;       // first value of blockexpire_attribute, when configured
  // Every value of the attributes that g_config.queryfilter compares with
  // the receiver (map_receiver), as stored: the addresses replies to this
  // entry are made for.
  StringList receiver_addresses;
  // The same entry as directory_lookup hands it over (map_field and
  // map_date values, the alias attributes' addresses), for composing a
  // preview of its reply.
  DirectoryEntry entry;
};

// What a save writes. Every field is the whole new state of its attribute.
struct VacationChange {
  bool active = false;  // vacationActive TRUE or FALSE, always written
  OptionalText start;   // "YYYYMMDDHHMMSSZ"; none: the attribute removed
  OptionalText end;     // likewise
  // The text; none leaves the stored text as it is (switching off keeps it),
  // empty removes it.
  OptionalText text;
  // The internal text (written only when internal_result is configured);
  // none or empty removes it.
  OptionalText internal_text;
  // The interval in hours (only when blockexpire_attribute is configured);
  // none removes it.
  std::optional<int> interval;
};

// Opens a session to the configured directory (server, port, tls,
// tls_cacert, protocol as directory_connect) bound with dn and password;
// anonymous when dn is none. directory_connect is this with g_config.login
// and g_config.password. Failures as directory_connect's.
Result<DirectorySession> directory_connect_as(const OptionalText& dn, const OptionalText& password);

// The DN of the one entry that g_config.web_login_filter finds for login
// (its web_login placeholder "$login" filled in with login escaped for a
// filter, RFC 4515) under g_config.base with g_config.scope; none when no
// entry or more than one matches, and without asking for a login that holds
// a NUL byte. A directory failure is handed back
// ("CRIT/LDAP <library text>").
Result<std::optional<std::string>> account_find(DirectorySession& web, const std::string& login);

// Whether password is dn's: a simple bind as dn on a connection of its own,
// secured as configured (directory_credentials_valid). An empty password,
// or one holding a NUL byte, is false without asking (an empty simple bind
// would be an unauthenticated one and succeed). False for
// invalidCredentials (and for a dn that does not exist); a failure for
// anything else (the server unreachable, TLS failing).
Result<bool> account_check_password(const std::string& dn, const std::string& password);

// The vacation attributes of the entry at dn, read over web.
Result<VacationSettings> account_read(DirectorySession& web, const std::string& dn);

// The entry's own address, as replies to it are made for: of
// settings.receiver_addresses the one equal to login (ASCII case ignored),
// else the first; normalised as orvelt takes a receiver. login normalised
// when the entry has none; login as it stands when that holds no address
// either.
std::string account_own_address(const VacationSettings& settings, const std::string& login);

// A short text that changes whenever a value a save may write changes:
// vacationActive, vacationStart, vacationEnd, the texts and the interval
// (those configured) byte for byte as stored, and whether the entry holds
// kVacationClass. 16 hex digits.
std::string vacation_version(const VacationSettings& settings);

enum class WriteOutcome {
  kWritten,
  kChangedElsewhere,  // the entry no longer held the values shown: nothing written
};

// Writes change to the entry at dn over web, in one modify request that
// touches only the vacation attributes (adding kVacationClass to
// objectClass when shown lacks it), on condition that the entry still
// holds shown's values (those of vacation_version): the request carries
// the assertion control (RFC 4528) with a filter that asserts each of
// them, so the check and the write are one operation on the server. Its
// failure (assertionFailed) is kChangedElsewhere. Any other refusal or
// failure is handed back with the library's text ("CRIT/LDAP <text>").
Result<WriteOutcome> account_write(DirectorySession& web, const std::string& dn,
                                   const VacationChange& change, const VacationSettings& shown);
