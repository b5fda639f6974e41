// Per-receiver directory search and the composition of the reply texts.
#pragma once

#include <string>

#include "directory/connection.h"
#include "mail/mail_state.h"
#include "util/strings.h"

// The reply texts that the directory holds for receiver of mail, one per
// entry found by the search filter (see search_filter_for, with mail's
// sender) under g_config.base with g_config.scope, in the order of the
// search result. Each text is the header text, the first value of the
// entry's g_config.result attribute and the footer text, joined as they
// stand, with these placeholders then filled in, in this order: mail's
// subject, mail's sender, the receiver, mail's Message-ID (map_messageid),
// then each map_field placeholder with the first value of its attribute in
// the entry (empty when the entry lacks it), then each map_date placeholder
// likewise, a GeneralizedTime value written in local time with
// g_config.dateformat (any other value, or one whose formatted text would be
// too long, as it stands). When mail has no Message-ID, the lines of the
// header text that hold the map_messageid placeholder are left out first.
//
// When g_config.internal_domains and g_config.internal_result are both set
// and the domain of mail's sender (after its last '@') is one of those
// domains, ASCII case ignored, an entry with a value of the internal_result
// attribute has that first value in place of the result attribute's.
// Entries without a value of the attribute that applies give no text.
//
// The header and footer texts come from the forceheader and forcefooter
// files, read by the first lookup of the session that finds entries and
// kept in the session from then on; a file that is not configured or
// cannot be read gives an empty text.
//
// Never fails towards the caller: a search that fails or does not finish
// within 10 seconds gives no texts (logged as "WARN/LDAP Wrong query base?"
// at priority warning when loglevel > 0), as does a search that finds
// nothing ("DEBUG/LDAP No match: <filter>" at priority debug when
// loglevel > 2).
StringList directory_lookup(DirectorySession& session, const std::string& receiver,
                            const MailState& mail);

// The search filter for receiver: g_config.queryfilter with the map_now
// placeholder (the current time in UTC as GeneralizedTime,
// "YYYYMMDDHHMMSSZ"), then the receiver placeholder, then the sender
// placeholder (empty when absent) filled in.
// Both values are escaped for a filter, so an address cannot change the
// filter's structure: the bytes that are special in an LDAP string filter
// are written as RFC 4515 escapes ('*' \2a, '(' \28, ')' \29, '\' \5c,
// NUL \00). The template itself is used as configured. The clock is read
// only when the template holds the map_now placeholder.
std::string search_filter_for(const std::string& receiver, const OptionalText& sender);
