// A reply text made from its parts: the frame of the run, one directory
// entry, the incoming message and the receiver. Nothing here talks to the
// directory, the block store or the MTA.
#pragma once

#include <cstddef>
#include <string>

#include "directory/entry.h"
#include "mail/mail_state.h"
#include "util/outcome.h"
#include "util/strings.h"

// The texts that frame every reply text of a run: the contents of the
// forceheader and forcefooter files, each empty when it is not configured.
struct ReplyFrame {
  std::string header;
  std::string footer;
};

// The most bytes a frame file may hold: far more than any header or footer
// needs, and little enough that a wrong path cannot fill the memory.
inline constexpr size_t kFrameFileLimit = 64 * 1024;

// Reads the configured forceheader and forcefooter files (in that order).
// A configured file that cannot be read, is not a regular file or holds
// more than kFrameFileLimit bytes is a failure, "CRIT/IO <path>: <reason>"
// at priority err (read_text_file): a reply without its frame would go out
// without the headers that protect against mail loops.
Result<ReplyFrame> reply_frame_load();

// Whether sender gets the entries' internal texts: g_config.internal_result
// and g_config.internal_domains are both set and the part of sender after
// its last '@' is one of those domains, ASCII case ignored.
bool sender_is_internal(const OptionalText& sender);

// Whether the reply of entry to mail is the entry's internal text: the
// sender is internal and the entry has one.
bool reply_uses_internal_text(const DirectoryEntry& entry, const MailState& mail);

// The reply text of entry for receiver, answering mail; nothing when the
// entry has no text that applies. The text is the entry's internal text
// when reply_uses_internal_text says so, else its text.
//
// frame.header, that text and frame.footer are joined as they stand, then
// filled in one pass (fill_in, values in the header cleaned of line breaks)
// with these placeholders, earlier ones winning among equally long names:
// mail's subject (map_subject), mail's sender (map_sender), receiver
// (map_receiver), mail's Message-ID (map_messageid), mail's References
// followed by its Message-ID, blank-separated (map_references; either alone
// when the other is absent), mail's subject less surrounding blanks with
// its encoded-words decoded to UTF-8 (map_subject_text, decode_encoded_words
// in mail/encoded_words.h), each map_field value of
// the entry, and each map_date value, a GeneralizedTime written in local
// time with g_config.dateformat (any other value, or one whose formatted
// text would be too long, as it stands). An absent value fills in as empty.
// When mail has no Message-ID, the lines of frame.header that hold the
// map_messageid placeholder are left out first, and when it has no
// References either, those that hold map_references.
OptionalText compose_reply(const ReplyFrame& frame, const DirectoryEntry& entry,
                           const MailState& mail, const std::string& receiver);
