#include "util/substitute.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// One placeholder filled into text: the cases of a single name.
struct SingleCase {
  std::string text;
  std::string placeholder;
  std::string value;
  std::string expected;
};

TEST(FillIn, OnePlaceholder) {
  const SingleCase cases[] = {
      {"Hello $sender!", "$sender", "someone", "Hello someone!"},
      {"Re: $subject", "$subject", "", "Re: "},
      {"$SENDER and $Sender", "$sender", "b", "b and b"},
      // The first byte must match exactly, the rest in any case.
      {"Abc abc aBC", "abc", "x", "Abc x x"},
      {"$s$s", "$s", "x", "xx"},
      // Every adjacent occurrence goes, also with an empty value.
      {"$subject$subject", "$subject", "", ""},
      {"$sender$sender$sender", "$sender", "", ""},
      // Inserted text is not scanned again: a value goes in as it stands,
      // even when it holds the placeholder itself.
      {"$subjectject", "$subject", "x$sub", "x$subject"},
      {"to $recepient", "$recepient", "$RECEPIENT", "to $RECEPIENT"},
      {"to $sender", "$sender", "$senderfoo", "to $senderfoo"},
      {"Re: $subject", "$subject", "x$subjecty", "Re: x$subjecty"},
      {"no placeholder here", "$sender", "x", "no placeholder here"},
      {"", "$sender", "x", ""},
      {"abc", "", "x", "abc"},
      {"cut $sende", "$sender", "x", "cut $sende"},
      {"100% $subject %s", "$subject", "%n%s", "100% %n%s %s"},
      {std::string("a\0$s\0b", 6), "$s", "v", std::string("a\0v\0b", 5)},
  };
  for (const SingleCase& c : cases) {
    const Placeholder placeholders[] = {{c.placeholder, c.value}};
    EXPECT_EQ(fill_in(c.text, placeholders), c.expected)
        << "text '" << c.text << "' placeholder '" << c.placeholder << "'";
  }
}

// Several placeholders at once, as a reply or the MTA line has them.
TEST(FillIn, SeveralPlaceholdersInOnePass) {
  const Placeholder reply[] = {
      {"$subject", "[$secret] $recepient"},
      {"$sender", "<$recepient>"},
      {"$recepient", "me@site"},
      {"$secret", "Doe"},
      {"$subjecttext", "long"},
  };
  const std::pair<std::string, std::string> cases[] = {
      // A value brought in by one placeholder is never filled by another.
      {"Subject: $subject", "Subject: [$secret] $recepient"},
      {"From: $sender To: $recepient", "From: <$recepient> To: me@site"},
      {"$secret/$SECRET", "Doe/Doe"},
      // The longest name that matches wins, wherever it stands in the list.
      {"$subjecttext|$subject|$subjectte", "long|[$secret] $recepient|[$secret] $recepientte"},
      {"$SUBJECTTEXT", "long"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(fill_in(text, reply), expected) << text;

  // Of two equally long names the first listed wins.
  const Placeholder twice[] = {{"$a", "first"}, {"$A", "second"}, {"", "never"}};
  EXPECT_EQ(fill_in("$a $A", twice), "first first");
}

TEST(FillIn, ValuesInTheHeaderCannotBreakItsLines) {
  const Placeholder values[] = {
      {"$subject", "hi\rBcc: victim@evil"},
      {"$crlf", "line end\r"},
      {"$mixed", std::string_view("a\nb\0c\r\nd\r", 9)},
      {"$body", "x\ny"},
  };
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"Subject: Auto: $subject\n\n$subject\n",
       "Subject: Auto: hi Bcc: victim@evil\n\nhi\rBcc: victim@evil\n"},
      // The message's own CRLF line end is dropped, other breaks are blanks.
      {"S: $crlf|$mixed\n\n$crlf|$mixed",
       std::string("S: line end|a b c  d\n\nline end\r|") + std::string("a\nb\0c\r\nd\r", 9)},
      // An empty line of only a CR ends the header as well.
      {"A: $body\r\n\r\n$body", "A: x y\r\n\r\nx\ny"},
      // A text that starts with an empty line has no header.
      {"\n$body", "\nx\ny"},
      // Without an empty line, the whole text is header.
      {"A: $body\nB: $body", "A: x y\nB: x y"},
      // The boundary is the template's: a value cannot move it.
      {"A: $body\nB: $subject\n\n$body", "A: x y\nB: hi Bcc: victim@evil\n\nx\ny"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fill_in(c.text, values, HeaderValues::kCleaned), c.expected) << c.text;
  }
  // As they stand unless asked.
  EXPECT_EQ(fill_in("A: $body\n", values), "A: x\ny\n");
}

TEST(WithoutLinesHolding, Table) {
  const struct Case {
    std::string text;
    std::string placeholder;
    std::string expected;
  } cases[] = {
      {"To: $sender\nIn-Reply-To: $messageid\nReferences: $messageid\n\n", "$messageid",
       "To: $sender\n\n"},
      // Matched as substitute matches: first byte exact, the rest in any case.
      {"A: $MessageID\nB: %messageid\nC\n", "$messageid", "B: %messageid\nC\n"},
      {"first $messageid\nlast $messageid", "$messageid", ""},
      {"keep\nlast $messageid", "$messageid", "keep\n"},
      {"x: $messageid\r\ny\r\n", "$messageid", "y\r\n"},
      {"no placeholder\n", "$messageid", "no placeholder\n"},
      {"$messageid", "", "$messageid"},
      {"", "$messageid", ""},
      {"a$message\nid\n", "$messageid", "a$message\nid\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(without_lines_holding(c.text, c.placeholder), c.expected) << c.text;
  }
}

TEST(ReadTextFile, ReadsTheWholeFileUpToANul) {
  TempDir dir;
  LogCapture capture;
  const std::string big(200 * 1024, 'b');  // more than one read
  const std::pair<std::string, std::string> cases[] = {
      {"To: $sender\n\n", "To: $sender\n\n"},
      {"", ""},
      {std::string("ab\0cd", 5), "ab"},
      {big, big},
  };
  for (const auto& [content, expected] : cases) {
    const Result<std::string> read = read_text_file(dir.write("f", content), big.size());
    ASSERT_TRUE(read.ok()) << read.failure().reason;
    EXPECT_EQ(*read, expected);
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST(ReadTextFile, UnreadableFileIsAFailureWithItsReason) {
  TempDir dir;
  LogCapture capture;
  const std::string missing = dir.file("missing");
  const std::string odd = dir.file("new\nline");
  const std::pair<std::string, std::string> cases[] = {
      {missing, "CRIT/IO " + missing + ": No such file or directory"},
      {dir.path(), "CRIT/IO " + dir.path() + ": Is a directory"},
      {odd, "CRIT/IO " + dir.file("new?line") + ": No such file or directory"},
  };
  for (const auto& [path, reason] : cases) {
    const Result<std::string> read = read_text_file(path, 1024);
    ASSERT_FALSE(read.ok()) << path;
    EXPECT_EQ(read.failure().priority, LOG_ERR);
    EXPECT_EQ(read.failure().reason, reason);
  }
  // Logging is left to whoever ends the run.
  EXPECT_TRUE(capture.records().empty());
}

// What is not a regular file is never read: a FIFO without a writer would
// hold the reader for ever, and a device such as /dev/zero never ends.
// Nor is a file larger than the limit, counted in bytes before the first
// NUL is looked for.
TEST(ReadTextFile, RefusesWhatIsNoRegularFileAndWhatIsTooLarge) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string at_limit = dir.write("at-limit", std::string(1000, 'a'));
  const std::string over_limit = dir.write("over-limit", std::string(1001, 'a'));
  const std::string nul_early =
      dir.write("nul-early", std::string("x\0", 2) + std::string(1000, 'a'));
  const std::pair<std::string, std::string> failures[] = {
      {fifo, "CRIT/IO " + fifo + ": not a regular file"},
      {"/dev/zero", "CRIT/IO /dev/zero: not a regular file"},
      {"/dev/null", "CRIT/IO /dev/null: not a regular file"},
      {over_limit, "CRIT/IO " + over_limit + ": larger than 1000 bytes"},
      {nul_early, "CRIT/IO " + nul_early + ": larger than 1000 bytes"},
  };
  for (const auto& [path, reason] : failures) {
    const Result<std::string> read = read_text_file(path, 1000);
    ASSERT_FALSE(read.ok()) << path;
    EXPECT_EQ(read.failure().priority, LOG_ERR);
    EXPECT_EQ(read.failure().reason, reason);
  }
  const Result<std::string> read = read_text_file(at_limit, 1000);
  ASSERT_TRUE(read.ok()) << read.failure().reason;
  EXPECT_EQ(read->size(), 1000u);
}

}  // namespace
