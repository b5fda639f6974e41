// Recognising automatic mail: replies of other responders, list and bulk
// mail, and mail from robot addresses. An auto-responder must leave such mail
// alone (RFC 3834, section 2), or it answers lists and newsletters and loops
// with other responders, and answers delivery reports. Intake applies these rules with "rfc3834
// yes".
#pragma once

#include <string_view>

// Returns the header's name as the rules spell it ("Auto-Submitted",
// "Precedence", "List-Id", ...) when the unfolded header "name: value" marks
// its message as automatic mail, otherwise null. The name is compared
// ignoring ASCII case and without trimming. In values, space, tab and CR
// count as blanks, and a value that is empty or blank carries no claim.
//  - Auto-Submitted: its keyword is anything but "no" (ASCII case ignored).
//    The keyword is the first word after blanks and comments and ends at a
//    blank, a '(' or a ';', so comments and parameters after it do not
//    count; a value without a keyword (only comments) carries no claim.
//  - Precedence: the value, less surrounding blanks, is bulk, list or junk
//    (ASCII case ignored).
//  - X-Auto-Response-Suppress: one of its comma-separated items, less
//    surrounding blanks, is OOF or All (ASCII case ignored).
//  - Content-Type: its media type (the first word, as for Auto-Submitted)
//    is multipart/report (ASCII case ignored): a delivery or read report.
//  - List-Id, List-Help, List-Subscribe, List-Unsubscribe, List-Post,
//    List-Owner, List-Archive: any value.
const char* automatic_mail_header(std::string_view name, std::string_view value);

// True when the address is a robot's: its local part (before the last '@';
// the whole address without one) is mailer-daemon, listserv or majordomo,
// begins with "owner-", "noreply", "no-reply", "no_reply", "donotreply" or
// "do-not-reply", or ends with "-request", "-bounces" or "-owner",
// ASCII case ignored. Postmaster is not one: it is usually read by a person.
bool is_robot_address(std::string_view address);
