// Per-receiver directory search and the composition of the reply texts.
#pragma once

#include <string>
#include <string_view>

#include "util/strings.h"

// The reply texts that the directory holds for receiver, one per entry
// found by the search filter (see search_filter_for) under g_config.base
// with g_config.scope, in the order of the search result. Each text is the
// header text, the first value of the entry's g_config.result attribute and
// the footer text, joined as they stand, with these placeholders then filled
// in, in this order: the subject, the sender (both from g_mail), the
// receiver, then each map_field placeholder with the first value of its
// attribute in the entry (empty when the entry lacks it). Entries without a
// value of the result attribute give no text.
//
// Never fails towards the caller: a search that fails or does not finish
// within 10 seconds gives no texts (logged as "WARN/LDAP Wrong query base?"
// at priority warning when loglevel > 0), as does a search that finds
// nothing ("DEBUG/LDAP No match: <filter>" at priority debug when
// loglevel > 2). Requires a bound directory_session.
StringList directory_lookup(const std::string& receiver);

// Loads header_text and footer_text from the forceheader and forcefooter
// files, once per run: nothing happens when either text is present already.
// A text whose file is not configured or cannot be read becomes empty.
void load_header_footer();

// The search filter for receiver: g_config.queryfilter with the receiver
// placeholder, then the sender placeholder (g_mail.sender, empty when
// absent) filled in. Both values are escaped for a filter (see
// escape_filter_value), so an address cannot change the filter's structure;
// the template itself is used as configured.
std::string search_filter_for(const std::string& receiver);

// value with the bytes that are special in an LDAP string filter written as
// RFC 4515 escapes: '*' \2a, '(' \28, ')' \29, '\' \5c, NUL \00.
std::string escape_filter_value(std::string_view value);
