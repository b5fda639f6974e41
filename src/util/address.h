// Address normalisation: the one form in which addresses are compared,
// looked up and handed on.
#pragma once

#include "util/strings.h"

// Replaces the text in slot by the bare, lower-cased address it holds, or by
// nothing when it holds no address bytes. With both '<' and a later '>', the
// bytes between the first '<' and the last '>' are taken as they stand;
// otherwise the first run of address bytes (letters, digits, '@', '-', '.',
// '_', '+', '=') is. A '*' always ends the address. What that gives must be
// one address: text with more than one '@', or with a comma, a blank, a
// control byte, '<', '>' or ';' (a list, or header syntax that a reply must
// never carry) is no address either. An empty slot stays empty.
void normalize_address(OptionalText& slot);

// Whether address, a normalised one, can be the sender a reply goes to:
// exactly one '@', with a local part before it and a domain after it, as
// an SMTP or LMTP path needs. A bare word ("team" of the group syntax
// "team: a@b, c@d;") is no such address: an MTA that qualifies bare names
// would deliver the reply to a local mailbox of the message's choosing.
bool is_sender_address(std::string_view address);

// Cuts the address extension off a normalised address, as an MTA with this
// recipient_delimiter does: the local part (before the last '@'; the whole
// address without one) loses everything from the first of the delimiter
// characters on, unless the local part begins with that character
// ("jane+news@host" becomes "jane@host"; "+news@host" stays). No delimiter
// characters: nothing happens.
void cut_address_extension(std::string& address, std::string_view delimiters);
