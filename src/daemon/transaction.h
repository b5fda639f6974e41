// What a transaction of orveltd shows the outside: its id in the log and
// its reply line per recipient.
#pragma once

#include <string>

#include "util/outcome.h"

// The LMTP reply line for one recipient's outcome: "250 2.0.0 ok" when
// done, else "451 4.3.0 <reason>" with the reason's control bytes and
// non-ASCII bytes made '?' and cut to a length every client takes.
std::string lmtp_reply_line(const Outcome& outcome);

// A new transaction's id: six hexadecimal digits, distinct among the
// process's last 16 million transactions.
std::string new_transaction_id();
