#include "mail/encoded_words.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

struct DecodeCase {
  const char* name;
  std::string text;
  std::string decoded;
};

TEST(EncodedWords, DecodesQAndBWordsToUtf8) {
  const DecodeCase cases[] = {
      {"no words", "Lunch on Friday?", "Lunch on Friday?"},
      {"Q with underscore and hex, any case",
       "=?ISO-8859-1?Q?caf=e9_au_lait?=", "caf\xC3\xA9 au lait"},
      {"B with padding", "=?utf-8?b?S8O2bG4=?=", "K\xC3\xB6ln"},
      {"B without padding", "=?utf-8?B?S8O2bG4?=", "K\xC3\xB6ln"},
      {"words among plain text keep its blanks", "Re: =?utf-8?q?Gr=C3=BC=C3=9Fe?= und  mehr",
       "Re: Gr\xC3\xBC\xC3\x9F"
       "e und  mehr"},
      {"blanks of a fold between two words go",
       "=?utf-8?q?a?=\t =?utf-8?q?b?=  =?utf-8?q?_c?=", "ab c"},
      {"a CR LF fold between two words goes", "=?utf-8?q?a?=\r\n =?utf-8?q?b?=", "ab"},
      {"a character split across two words",
       "=?utf-8?b?w7w=?= =?UTF-8?B?w7Y?=", "\xC3\xBC\xC3\xB6"},
      {"UTF-8 split in Q across words", "=?utf-8?q?=C3?= =?utf-8?q?=BC?=", "\xC3\xBC"},
      {"words of different charsets",
       "=?iso-8859-1?q?=E9?= =?utf-8?q?=C3=A9?=", "\xC3\xA9\xC3\xA9"},
      {"language after the charset", "=?utf-8*de?q?Gr=C3=BC=C3=9Fe?=",
       "Gr\xC3\xBC\xC3\x9F"
       "e"},
      {"an empty encoded text", "x =?utf-8?q?\?= y", "x  y"},
      {"text right after a word stays", "=?utf-8?q?a?=b", "ab"},
      {"Shift_JIS", "=?shift_jis?b?k/qWe4zq?=", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_encoded_words(c.text), c.decoded);
  }
}

// What the sender writes is hostile: a broken word stays as written, and
// nothing it decodes to can break the reply's lines or cut its text.
TEST(EncodedWords, MalformedWordsStayAsTheyStand) {
  const DecodeCase cases[] = {
      {"unknown encoding", "=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
      {"no end", "=?utf-8?q?abc", "=?utf-8?q?abc"},
      {"blank inside", "=?utf-8?q?a b?=", "=?utf-8?q?a b?="},
      {"bad hex escape", "=?utf-8?q?a=zz?=", "=?utf-8?q?a=zz?="},
      {"cut hex escape", "=?utf-8?q?a=4?=", "=?utf-8?q?a=4?="},
      {"bad base64", "=?utf-8?b?S8*2?=", "=?utf-8?b?S8*2?="},
      {"lone base64 sixth", "=?utf-8?b?QUJDR?=", "=?utf-8?b?QUJDR?="},
      {"no charset", "=??q?a?=", "=??q?a?="},
      {"charset with a slash", "=?utf-8//ignore?q?a?=", "=?utf-8//ignore?q?a?="},
      {"charset iconv does not know",
       "=?no-such-charset?q?a?= =?utf-8?q?b?=", "=?no-such-charset?q?a?= b"},
      {"charset iconv does not know, after a word",
       "=?utf-8?q?b?=  =?no-such-charset?q?a?=", "b  =?no-such-charset?q?a?="},
      {"two words of a charset iconv does not know",
       "=?x-none?q?a?= =?X-NONE?q?b?=", "=?x-none?q?a?= =?X-NONE?q?b?="},
      {"run of bare starts", "=?=?=?=?", "=?=?=?=?"},
      {"a bad word then a good one", "=?utf-8?q?=?= =?utf-8?q?ok?=", "=?utf-8?q?=?= ok"},
      {"line breaks and NUL decode to spaces", "=?utf-8?q?a=0D=0Ab=00c?=", "a  b c"},
      {"invalid UTF-8 bytes are dropped", "=?utf-8?q?a=FF=C3b?=", "ab"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_encoded_words(c.text), c.decoded);
  }
}

// A subject may be as long as the header allows: half a megabyte of words
// that almost parse must not take quadratic time.
TEST(EncodedWords, LongHostileSubjectsDecodeInLinearTime) {
  const std::string pieces[] = {"=?a?q?=", "=?", "=?utf-8?q?", "=?utf-8?q?_"};
  for (const std::string& piece : pieces) {
    SCOPED_TRACE(piece);
    std::string text;
    while (text.size() < 512 * 1024) text += piece;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(decode_encoded_words(text), text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  std::string words;
  std::string decoded;
  for (int i = 0; i < 20000; ++i) {
    words += "=?utf-8?q?ab?= ";
    decoded += "ab";
  }
  EXPECT_EQ(decode_encoded_words(words), decoded + " ");
}

}  // namespace
