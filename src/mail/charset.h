// Conversion of reply texts from UTF-8 into the configured charset, just
// before they are handed to the MTA.
#pragma once

#include <string>
#include <string_view>

#include "util/strings.h"

// Converts the reply text in place from UTF-8 into g_config.charset.
//
// Best effort, never in the way of a reply:
// - no charset configured: the text is left alone;
// - the converter cannot be opened (unknown charset, no such conversion):
//   "WARN/MAIL charset conversion failed (errno: <strerror>)" at priority
//   warning, and the text stays UTF-8;
// - a byte that cannot be converted (invalid or incomplete UTF-8, or a
//   character that the converter refuses for the target) is dropped, and
//   conversion goes on with the next byte.
// The output grows as needed, so nothing is lost for lack of room; a
// stateful target such as ISO-2022-JP ends back in its initial shift state.
// The result is a text like any other: it ends at its first NUL byte, so a
// target that puts zero bytes into text (UTF-16, UTF-32) leaves only what
// comes before the first of them.
//
// A converter is opened and closed on every call; nothing is kept.
void convert_charset(std::string& text);

// The same for a slot; an empty slot stays empty.
void convert_charset(OptionalText& slot);

// bytes, written in the charset from (an iconv name), converted to UTF-8,
// every byte of them (NUL bytes stay). A byte that cannot be converted is
// dropped, as above. None, and nothing logged, when iconv has no such
// conversion: from may come from a message.
OptionalText decode_charset(std::string_view bytes, const std::string& from);
