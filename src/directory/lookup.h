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

// How many entries of a search are read before the first is handed over:
// a result of up to this many is known whole (or cut short) before any of
// its entries is used. Beyond it entries are handed over as they come, so
// that memory stays bounded by this many entries, not by the result.
inline constexpr size_t kEntriesReadAhead = 8;

// The entries of one search, in the order the server sends them, read one
// message at a time from the session (an asynchronous search): each entry's
// values are copied out when it is its turn and its message freed at once.
// The search stays open on the session while more may come; when the
// entries go before its end (the receiver is settled), the search is
// abandoned. The session must outlive them and run no other request
// meanwhile. Move-only.
class DirectoryEntries {
 public:
  // No entries at all.
  DirectoryEntries() = default;
  ~DirectoryEntries();
  DirectoryEntries(DirectoryEntries&& other) noexcept;
  DirectoryEntries& operator=(DirectoryEntries&& other) noexcept;
  DirectoryEntries(const DirectoryEntries&) = delete;
  DirectoryEntries& operator=(const DirectoryEntries&) = delete;

  // The next entry, as directory_entry_of reads it with the address
  // attributes the lookup was given, or nothing after the last. Reading on
  // may end the search as directory_lookup describes: an incomplete end
  // is logged and ends the entries (those handed over already have been
  // used); a failure is handed back, after which the entries hold nothing
  // of the session, which may then be closed.
  Result<std::optional<DirectoryEntry>> next();

 private:
  friend Result<DirectoryEntries> directory_lookup(DirectorySession&, const std::string&,
                                                   const OptionalText&, const StringList&);
  DirectoryEntries(LDAP* session, ConnectionGuard& guard, int message_id, std::string filter,
                   StringList address_attributes);

  // How many entries read ahead are still to be handed over.
  size_t waiting() const { return ahead_.size() - handed_; }
  // Drops the entries read ahead.
  void drop_ahead() {
    ahead_.clear();
    handed_ = 0;
  }
  // Reads the search's next message within the time left: an entry joins
  // those read ahead (unless the set is known to be incomplete), a
  // reference marks the set incomplete, the end finishes the search.
  Outcome read_message();
  // The end of the search with code: logged as directory_lookup says; the
  // entries read ahead are dropped unless the set is complete.
  Outcome finish(int code);
  // Abandons the search if it is still open; drops what was read ahead.
  void close();

  LDAP* session_ = nullptr;
  ConnectionGuard* guard_ = nullptr;
  int message_id_ = -1;  // the open search; -1 when it has ended
  // Entries read ahead: those from ahead_[handed_] on are still to come.
  std::vector<LdapResult> ahead_;
  size_t handed_ = 0;
  bool incomplete_ = false;  // a reference came: no further entry is used
  bool found_ = false;       // an entry came
  long time_left_ms_ = 0;    // of the search's time limit
  std::string filter_;
  StringList address_attributes_;
};

// The entries that the directory holds for receiver: those found under
// g_config.base with g_config.scope by the filter search_filter_for makes
// for receiver and sender, asking for the map_field attributes (the result
// attribute among them), the map_date attributes, internal_result when
// internal texts are in use, blockexpire_attribute when set, and
// address_attributes. The search's first kEntriesReadAhead entries (or all
// of it, when shorter) are read before this returns.
//
// The search may take 10 seconds of waiting for the server in all, over
// this call and every next() (the library's limit on the search), and
// every wait for the server kConnectionWaitSeconds. How it ended decides:
//  - success: the entries found; none is "DEBUG/LDAP No match: <filter>"
//    at priority debug when loglevel > 2;
//  - noSuchObject or invalidDNSyntax (the base is wrong): no entries,
//    "WARN/LDAP Wrong query base?" at priority warning when loglevel > 0;
//  - sizeLimitExceeded, a referral, or references in a successful result:
//    no entries, not even those read ahead before it (the set is
//    incomplete), "WARN/LDAP <library text of the code> for <filter>"
//    (log_safe'd; the text of a referral for references) at priority err,
//    always: the receiver is not answered, and asking again would get the
//    same answer. Only when the result is longer than kEntriesReadAhead
//    can entries before such an end have been handed over and used;
//  - out of memory: the run ends (exit_no_memory);
//  - any other code, temporary (time or administrative limit, busy,
//    unavailable, unwilling to perform, other, server down, timed out,
//    connect error) or not (a filter the library cannot parse, access
//    refused, a protocol error): the failure "CRIT/LDAP <library text of
//    the code>" ("Timed out" when the time limit ran out or the connection
//    guard saw the server go silent) at priority err, not logged here: the
//    message must be tried again later rather than lose the receiver's
//    reply.
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
