#include "mail/charset.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/default_config.h"
#include "support/log_capture.h"
#include "support/to_utf8.h"

namespace {

class ConvertCharset : public DefaultConfigTest {};

struct CharsetCase {
  const char* what;
  OptionalText charset;
  std::string text;
  std::string expected;
};

TEST_F(ConvertCharset, Table) {
  const CharsetCase cases[] = {
      {"no charset leaves the text alone, even invalid bytes", std::nullopt, "Gr\xC3\xBC\xFF",
       "Gr\xC3\xBC\xFF"},
      {"empty text", "ISO-8859-1", "", ""},
      {"UTF-8 to UTF-8", "UTF-8",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE6\x97\xA5",
       "Gr\xC3\xBC\xC3\x9F"
       "e \xE6\x97\xA5"},
      {"ASCII to Latin-1", "ISO-8859-1", "Subject: away\n\n100% $x\n",
       "Subject: away\n\n100% $x\n"},
      {"umlauts to Latin-1", "ISO-8859-1",
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       "Gr\xFC\xDF"
       "e"},
      {"charset name in any case", "iso-8859-1", "\xC3\xA4", "\xE4"},
      {"stray invalid byte between converted ones", "ISO-8859-1",
       "Gr\xC3\xBC\xFF\xC3\x9F"
       "e",
       "Gr\xFC\xDF"
       "e"},
      {"truncated sequence inside the text, byte by byte", "ISO-8859-1",
       "a\xE6\x97"
       "b",
       "ab"},
      {"incomplete sequence at the end", "ISO-8859-1", "abc\xE6\x97", "abc"},
      {"lone lead byte at the end", "UTF-8", "abc\xC3", "abc"},
      // glibc refuses a character that the target lacks rather than
      // substituting it: it becomes '?', whatever its length.
      {"character missing from the target", "ISO-8859-1", "5 \xE2\x82\xAC \xC3\xA4", "5 ? \xE4"},
      {"characters missing from ASCII", "US-ASCII", "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE6\x97\xA5",
       "caf? ? ?"},
      {"missing character next to an invalid byte", "US-ASCII", "\xFF\xC3\xA9\xC3", "?"},
      // //IGNORE drops what the target lacks, //TRANSLIT approximates.
      {"//IGNORE drops", "US-ASCII//IGNORE", "caf\xC3\xA9 \xE2\x82\xAC!", "caf !"},
      {"//ignore in any case", "us-ascii//ignore", "\xC3\xA9x", "x"},
      {"//TRANSLIT approximates", "US-ASCII//TRANSLIT", "5 \xE2\x82\xAC", "5 EUR"},
      {"'?' in a stateful target", "ISO-2022-JP", "\xE6\x97\xA5\xC3\xA9\xE6\x97\xA5",
       "\x1B$BF|\x1B(B?\x1B$BF|\x1B(B"},
      // A zero byte ends a text: a target with zero bytes in its code units
      // leaves what comes before the first of them.
      {"UTF-16 output ends at its first zero byte", "UTF-16LE", "Hi", "H"},
      {"UTF-16BE output starts with a zero byte", "UTF-16BE", "Hi", ""},
  };
  for (const CharsetCase& c : cases) {
    g_config.charset = c.charset;
    std::string text = c.text;
    EXPECT_TRUE(convert_charset(text).ok()) << c.what;
    EXPECT_EQ(text, c.expected) << c.what;
  }
}

// One warning per reply that lost characters to '?', none for a reply that
// lost none, nor where the charset's suffix chose what happens to them.
TEST_F(ConvertCharset, MissingCharactersWarnOncePerReply) {
  LogCapture capture;
  const std::string warning = "WARN/MAIL charset US-ASCII cannot hold every character";
  const std::pair<const char*, std::string> calls[] = {
      {"US-ASCII", "\xC3\xA9 and \xC3\xA8"},  {"US-ASCII", "plain"},
      {"US-ASCII", "\xFF invalid only"},      {"US-ASCII//IGNORE", "\xC3\xA9"},
      {"US-ASCII//TRANSLIT", "\xE2\x82\xAC"}, {"US-ASCII", "\xE2\x82\xAC"},
  };
  for (const auto& [charset, text] : calls) {
    g_config.charset = charset;
    std::string converted = text;
    EXPECT_TRUE(convert_charset(converted).ok());
  }
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{{LOG_WARNING, warning}, {LOG_WARNING, warning}}));
}

// A charset iconv cannot open is a failure to retry: the text stays as it
// was and must not be sent; nothing is logged here.
TEST_F(ConvertCharset, UnknownCharsetIsAFailure) {
  g_config.charset = "NO-SUCH-CHARSET-42";
  LogCapture capture;
  OptionalText slot =
      "Gr\xC3\xBC\xC3\x9F"
      "e";
  const Outcome outcome = convert_charset(slot);
  EXPECT_EQ(outcome.kind, Outcome::kRetry);
  EXPECT_EQ(outcome.priority, LOG_ERR);
  EXPECT_EQ(outcome.reason, std::string("CRIT/MAIL charset NO-SUCH-CHARSET-42 cannot be used: ") +
                                strerror(EINVAL));
  EXPECT_EQ(slot,
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_TRUE(capture.records().empty());
  // The name as configured, made log-safe.
  g_config.charset = "NO-SUCH\nCHARSET";
  std::string text = "x";
  EXPECT_EQ(convert_charset(text).reason,
            std::string("CRIT/MAIL charset NO-SUCH?CHARSET cannot be used: ") + strerror(EINVAL));
}

TEST_F(ConvertCharset, EmptySlotStaysEmpty) {
  g_config.charset = "ISO-8859-1";
  OptionalText slot;
  EXPECT_TRUE(convert_charset(slot).ok());
  EXPECT_FALSE(slot.has_value());
}

TEST(CharsetUsable, WhatIconvCanOpenFromUtf8) {
  const std::pair<std::string, bool> cases[] = {
      {"ISO-8859-15", true},
      {"us-ascii", true},
      {"UTF-8", true},
      {"US-ASCII//TRANSLIT", true},
      {"ISO-8859-1//IGNORE", true},
      {"NO-SUCH-CHARSET", false},
      {"", false},
      {std::string("UTF-8\0junk", 10), false},
  };
  for (const auto& [name, usable] : cases) EXPECT_EQ(charset_usable(name), usable) << name;
}

// Converts bytes from charset back to UTF-8; fails the test when the
// converter does not open or any of the bytes do not convert.
std::string to_utf8(const std::string& bytes, const char* charset) {
  const Utf8Conversion back = convert_to_utf8(bytes, charset);
  EXPECT_EQ(back.error, 0) << strerror(back.error);
  return back.text;
}

// ISO-2022-JP switches between ASCII and JIS X 0208 with three-byte escape
// sequences, so text that alternates between the two grows to more than
// twice its UTF-8 size. Nothing of it may be lost.
TEST_F(ConvertCharset, ExpandingTargetKeepsWholeText) {
  g_config.charset = "ISO-2022-JP";
  const std::string greeting = "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF";
  std::string original = "Subject: " + greeting + "\n\n";
  for (int i = 0; i < 2000; ++i) original += "a\xE6\x97\xA5";  // "a" then a kanji
  original += "\n" + greeting;  // ends outside ASCII: the converter must shift back
  std::string text = original;
  ASSERT_TRUE(convert_charset(text).ok());

  EXPECT_GT(text.size(), 2 * original.size());
  EXPECT_TRUE(text.ends_with("\x1B(B")) << "missing the final shift back to ASCII";
  EXPECT_EQ(to_utf8(text, "ISO-2022-JP"), original);
}

TEST_F(ConvertCharset, ShortJapaneseTextGrowsAndShiftsBack) {
  g_config.charset = "ISO-2022-JP";
  std::string text = "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF";  // 15 bytes
  ASSERT_TRUE(convert_charset(text).ok());
  EXPECT_EQ(text, "\x1B$B$3$s$K$A$O\x1B(B");  // 16 bytes
}

}  // namespace
