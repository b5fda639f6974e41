// Conversion of reply texts from UTF-8 into the configured charset, just
// before they are handed to the MTA.
#pragma once

#include <string>
#include <string_view>

#include "util/outcome.h"
#include "util/strings.h"

// Whether iconv can convert UTF-8 into name, a charset as the charset
// directive gives it (iconv's suffixes such as //TRANSLIT included). An
// empty name, or one with a NUL byte, is not usable: iconv would read the
// first as the locale's charset and the second cut short. Opens a converter
// and closes it again; for the configuration reader.
bool charset_usable(std::string_view name);

// Converts the reply text in place from UTF-8 into g_config.charset.
//
// - No charset configured: the text is left alone.
// - The converter cannot be opened (an unknown charset, no such
//   conversion): the failure "CRIT/MAIL charset <name> cannot be used:
//   <strerror>" at priority err (a retry), the text left as it was. A reply
//   never goes out in another charset than the one its header names.
// - A character the charset cannot hold becomes '?' (in the charset), and
//   "WARN/MAIL charset <name> cannot hold every character" is logged at
//   priority warning, once per call, whatever the loglevel. A name that
//   carries iconv's //TRANSLIT or //IGNORE (case ignored) leaves such a
//   character to iconv: approximated or dropped; only what it still
//   refuses becomes '?' with the warning.
// - A byte that is not valid UTF-8 (or the start of an incomplete sequence)
//   is dropped, and conversion goes on with the next byte.
// The output grows as needed, so nothing is lost for lack of room; a
// stateful target such as ISO-2022-JP ends back in its initial shift state.
// The result is a text like any other: it ends at its first NUL byte, so a
// target that puts zero bytes into text (UTF-16, UTF-32) leaves only what
// comes before the first of them. <name> in the log is made log-safe.
//
// A converter is opened and closed on every call; nothing is kept.
[[nodiscard]] Outcome convert_charset(std::string& text);

// The same for a slot; an empty slot stays empty.
[[nodiscard]] Outcome convert_charset(OptionalText& slot);

// bytes, written in the charset from (an iconv name), converted to UTF-8,
// every byte of them (NUL bytes stay). A byte that cannot be converted is
// dropped. None, and nothing logged, when iconv has no such conversion:
// from may come from a message.
OptionalText decode_charset(std::string_view bytes, const std::string& from);
