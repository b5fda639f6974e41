// Reply suppression: one GDBM file per receiver under g_config.blockfiles
// remembers when each sender was last answered on that receiver's behalf.
//
// Key: the sender address with its NUL byte. Value: 8 bytes, the time of the
// last reply in seconds since the epoch, a signed 64-bit integer in host
// byte order (both made and read by store/record_format.h). Records are
// never deleted; an old one simply stops blocking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/strings.h"

// The block file of receiver: blockfiles, a "/" unless blockfiles already
// ends in one, then the address as it stands. None when that path would
// leave blockfiles or cannot be opened: an address that is empty, contains
// '/' or a NUL byte, is "." or "..", or is longer than a file name may be
// (NAME_MAX bytes); and none for an address that begins or ends with a
// blank, which the directory takes for the address without its blanks.
OptionalText block_file_path(std::string_view receiver);

// The one rule for when a stored reply time stops counting: now - stored >
// seconds, exactly, in 64-bit arithmetic. A difference beyond 64 bits can
// only come from a stored time far in the past (or a corrupt record), which
// counts as expired.
bool block_time_expired(int64_t stored, int64_t now, int64_t seconds);

// The decision to answer one sender on behalf of one receiver, taken under
// the receiver's block file lock and recorded before the reply goes out.
struct BlockClaim {
  bool granted = false;                 // the reply may go out now
  std::optional<std::string> stored;    // the value the claim wrote (none: nothing written)
  std::optional<std::string> previous;  // the sender's value before it (none: no record)
};

// With Redis servers in blockstore, block_claim and block_withdraw are
// redis_block_claim and redis_block_withdraw (store/redis_store.h); what
// follows is the GDBM store.
//
// Claims the reply to sender on behalf of receiver: granted always with
// blockexpire 0 (no file is touched); otherwise when the receiver's block
// file holds no 8-byte record for sender, or one more than blockexpire hours
// old, and then the current time is stored for sender before this returns.
//
// The file is first read under a reader lock (a sender who is blocked costs
// no write lock and no flush); a reply is decided again under the writer
// lock (writer-create mode, a missing file created with the umask value as
// its mode), held only for the decision and the record.
//
// A receiver whose path would leave blockfiles is refused: "WARN/IO refusing
// block file for <receiver>" is logged and nothing is granted. Everything
// else that stops the record stops the run before any reply (log_fatal, at
// priority warning): a file GDBM cannot open or read for any reason but a
// missing file, damaged or truncated ones included, "CRIT/IO <path>: <GDBM's
// or the system's text>"; a lock that stays held, "CRIT/IO error locking
// '<path>' for writing"; a record that cannot be written and flushed,
// "CRIT/IO <path>: <reason>". A damaged file is never taken for an empty one.
BlockClaim block_claim(const std::string& sender, const std::string& receiver);

// Withdraws claim (a reply that did not go out): when the sender's record
// still holds what the claim stored, the previous value is put back, or the
// record deleted when there was none; a record another run has made since
// is left alone. Does nothing for a claim that wrote nothing. A failure is
// logged ("CRIT/IO <path>: <reason>", priority err) and the run goes on:
// the sender then stays blocked for this period, but nobody gets two replies.
void block_withdraw(const BlockClaim& claim, const std::string& sender,
                    const std::string& receiver);
