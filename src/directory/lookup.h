// Per-receiver directory search: the entries that hold a receiver's
// vacation texts, handed over as data one at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/connection.h"
#include "directory/entry.h"
#include "directory/ldap_handles.h"
#include "util/outcome.h"
#include "util/strings.h"

// The entries of one search result, in the order of the result, read one
// at a time: each entry's values are copied out only when it is its turn.
// Holds the result; the session it came from must outlive it.
class DirectoryEntries {
 public:
  // No entries at all.
  DirectoryEntries() = default;

  // The next entry, or nothing after the last, as directory_entry_of reads
  // it with the address attributes the lookup was given.
  std::optional<DirectoryEntry> next();

 private:
  friend Result<DirectoryEntries> directory_lookup(DirectorySession&, const std::string&,
                                                   const OptionalText&, const StringList&);
  DirectoryEntries(LDAP* session, LdapResult result, StringList address_attributes);

  LDAP* session_ = nullptr;
  LdapResult result_{nullptr};
  LDAPMessage* entry_ = nullptr;  // the next to hand over
  StringList address_attributes_;
};

// The entries that the directory holds for receiver: those found under
// g_config.base with g_config.scope by the filter search_filter_for makes
// for receiver and sender, asking for the map_field attributes (the result
// attribute among them), the map_date attributes, internal_result when
// internal texts are in use, blockexpire_attribute when set, and
// address_attributes.
//
// The search may take 10 seconds (the library's limit on the search) and
// every wait for the server kConnectionWaitSeconds. How it ended decides:
//  - success: the entries found; none is "DEBUG/LDAP No match: <filter>"
//    at priority debug when loglevel > 2;
//  - noSuchObject or invalidDNSyntax (the base is wrong): no entries,
//    "WARN/LDAP Wrong query base?" at priority warning when loglevel > 0;
//  - sizeLimitExceeded, a referral, or references in a successful result:
//    no entries, not even those that came before (the set is incomplete),
//    "WARN/LDAP <library text of the code> for <filter>" (log_safe'd; the
//    text of a referral for references) at priority warning, always;
//  - out of memory: the run ends (exit_no_memory);
//  - any other code, temporary (time or administrative limit, busy,
//    unavailable, unwilling to perform, other, server down, timed out,
//    connect error) or not (a filter the library cannot parse, access
//    refused, a protocol error): the failure "CRIT/LDAP <library text of
//    the code>" ("Timed out" when the connection guard saw the server go
//    silent) at priority err, not logged here: the message must be tried
//    again later rather than lose the receiver's reply.
Result<DirectoryEntries> directory_lookup(DirectorySession& session, const std::string& receiver,
                                          const OptionalText& sender,
                                          const StringList& address_attributes = {});

// The values of entry, a search result's entry on session, that a reply is
// composed from: the first value of g_config.result as its text, the first
// value of g_config.internal_result as its internal text (only when
// internal texts are in use: internal_result and internal_domains both
// set), each map_field and map_date placeholder with the first value of its
// attribute (empty when the entry lacks it), every value of
// address_attributes and the first value of the first of them, and the
// first value of g_config.blockexpire_attribute when it is set.
DirectoryEntry directory_entry_of(LDAP* session, LDAPMessage* entry,
                                  const StringList& address_attributes);

// The distinguished name of entry, a search result's entry on session;
// empty when the library gives none.
std::string dn_of(LDAP* session, LDAPMessage* entry);

// The first value of attribute in entry, or nothing.
OptionalText first_value(LDAP* session, LDAPMessage* entry, const std::string& attribute);

// The attributes a search asks for so that directory_entry_of finds what it
// reads: g_config.map_field_attributes (the result attribute among them),
// the map_date attributes, the internal_result attribute when internal
// texts are in use, blockexpire_attribute when set, then extra, as the
// null-terminated array the library takes. The pointers are into g_config
// and extra, which must outlive the array; the library does not write
// through them.
std::vector<char*> lookup_attributes(const StringList& extra);

// value with the bytes that are special in an LDAP string filter ('*' \2a,
// '(' \28, ')' \29, '\' \5c, NUL \00) written as RFC 4515 escapes, so that
// it matches only itself wherever a filter holds it.
std::string escape_filter_value(std::string_view value);

// The search filter for receiver: g_config.queryfilter with its map_now
// (the current time in UTC as GeneralizedTime, "YYYYMMDDHHMMSSZ"), receiver
// and sender placeholders filled in one pass (fill_in; an absent sender
// fills in as empty). Both addresses are escaped for a filter, so an
// address cannot change the filter's structure: the bytes that are special
// in an LDAP string filter are written as RFC 4515 escapes ('*' \2a, '('
// \28, ')' \29, '\' \5c, NUL \00). The template itself is used as
// configured. The clock is read only when the template holds the map_now
// placeholder.
std::string search_filter_for(const std::string& receiver, const OptionalText& sender);
