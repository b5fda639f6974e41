// Decoding of the encoded-words of RFC 2047 in an unstructured header value
// (a subject), for showing it in the body of a reply.
#pragma once

#include <string>
#include <string_view>

// text, one unfolded header value, with its encoded-words
// ("=?charset?Q?text?=" or "=?charset?B?text?=", charset and encoding in
// any letter case; a "*language" after the charset is ignored) decoded and
// converted to UTF-8 with iconv. The rest of text stays as it stands.
//
// Blanks between two adjacent encoded-words (space, tab, CR, LF) are
// dropped. Adjacent encoded-words of the same charset are converted
// together, so a character split across two of them comes out whole.
// In Q, '_' is a space and "=XX" the byte of two hex digits; B is base64,
// its padding optional.
//
// Text that is not a well-formed encoded-word (an unknown encoding, a bad
// "=" escape or base64 character, a charset iconv cannot convert, no "?="
// end) stays as it stands. Decoded bytes that cannot be converted are
// dropped, and every CR, LF and NUL byte they give becomes a space: the
// result stays one line. Time and output are linear in the size of text.
std::string decode_encoded_words(std::string_view text);
