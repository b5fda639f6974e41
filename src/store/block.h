// Reply suppression: one GDBM file per receiver under g_config.blockfiles
// remembers when each sender was last answered on that receiver's behalf.
//
// Key: the sender address with its NUL byte. Value: 8 bytes, the time of the
// last reply in seconds since the epoch, a signed 64-bit integer in host
// byte order (both made and read by store/record_format.h). Records are
// never deleted; an old one simply stops blocking.
#pragma once

#include <cstdint>
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

// True when a reply to sender on behalf of receiver may go out now: always
// with blockexpire 0 (no file is touched); otherwise when the receiver's
// block file holds no 8-byte record for sender, or one more than blockexpire
// hours old. Creates a missing block file with the umask value as its mode.
// A receiver whose path would leave blockfiles is refused: "WARN/IO refusing
// block file for <receiver>" is logged and the answer is false. A block file
// that opens neither for reading nor for creation logs "CRIT/IO <path>" and
// exits 1.
bool block_check(const std::string& sender, const std::string& receiver);

// Notes that sender was answered on behalf of receiver now; does nothing
// with blockexpire 0, and refuses a receiver as block_check does. Returns
// only on success: a block file that does not open for writing logs
// "CRIT/IO error locking '<path>' for writing", a failed store
// "CRIT/IO <receiver>", and both exit 1.
void block_record(const std::string& sender, const std::string& receiver);
