// Hand-off of one reply to the MTA's submission program.
#pragma once

#include <string>

// Runs g_config.mta as a child with the reply text to sender on its standard
// input and returns once the child has ended. The MTA's exit status is not
// looked at.
//
// The child's arguments are the words of "<mta> <mta_args>" with
// g_config.map_sender replaced by sender, then g_config.map_receiver
// by receiver, in every word; words are separated by runs of blanks. The
// path in g_config.mta is run as it stands: no shell, no path search. The
// child starts with the default SIGPIPE disposition. If the program cannot
// be run, "CRIT/MAIL execv(3) returned: <command line>" is logged at
// priority err and the call goes on as if the MTA had read nothing.
//
// text is written byte for byte up to its first NUL byte. An MTA that stops
// reading early does not kill this process: "WARN/MAIL MTA did not take the
// whole reply" is logged at priority warning when loglevel > 0.
// With loglevel > 1, "INFO/MAIL sent mail: <receiver> -> <sender>" follows.
//
// No pipe or no child: "CRIT/MAIL pipe to MTA failed" or "CRIT/MAIL couldn't
// fork MTA" at priority err, and the process exits with status 1.
void send_reply(const std::string& receiver, const std::string& sender, const std::string& text);
