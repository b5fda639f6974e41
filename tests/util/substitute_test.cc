#include "util/substitute.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

struct SubstituteCase {
  OptionalText text;
  std::string placeholder;
  OptionalText replacement;
  OptionalText expected;
};

TEST(Substitute, Table) {
  const SubstituteCase cases[] = {
      {"Hello $sender!", "$sender", "someone", "Hello someone!"},
      {"Re: $subject", "$subject", std::nullopt, "Re: "},
      {"$SENDER and $Sender", "$sender", "b", "b and b"},
      {"Abc abc aBC", "abc", "x", "Abc x x"},
      {"$s$s", "$s", "x", "xx"},
      // Every adjacent occurrence goes, also with an empty replacement.
      {"$subject$subject", "$subject", "", ""},
      {"$sender$sender$sender", "$sender", "", ""},
      // Inserted text is not scanned again.
      {"$subjectject", "$subject", "x$sub", "x$subject"},
      {"no placeholder here", "$sender", "x", "no placeholder here"},
      {"", "$sender", "x", ""},
      {"to $recepient", "$recepient", "$RECEPIENT", "to $recepient"},
      {"to $sender", "$sender", "$senderfoo", "to $sender"},
      {"Re: $subject", "$subject", "x$subjecty", "Re: $subject"},
      {std::nullopt, "$sender", "x", std::nullopt},
      {"abc", "", "x", "abc"},
      {"cut $sende", "$sender", "x", "cut $sende"},
      {"100% $subject %s", "$subject", "%n%s", "100% %n%s %s"},
  };
  for (const SubstituteCase& c : cases) {
    OptionalText slot = c.text;
    substitute(slot, c.placeholder, c.replacement);
    EXPECT_EQ(slot, c.expected) << "text '" << c.text.value_or("(absent)") << "' placeholder '"
                                << c.placeholder << "'";
  }
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

TEST(SlurpFile, ReadsWholeFile) {
  TempDir dir;
  LogCapture capture;
  EXPECT_EQ(slurp_file(dir.write("h", "To: $sender\n\n")), "To: $sender\n\n");
  EXPECT_EQ(slurp_file(dir.write("empty", "")), "");
  EXPECT_EQ(slurp_file(dir.write("nul", std::string("ab\0cd", 5))), "ab");
  EXPECT_TRUE(capture.records().empty());
}

TEST(SlurpFile, UnreadableFileLogsAtInfo) {
  TempDir dir;
  LogCapture capture;
  const std::string missing = dir.file("missing");
  EXPECT_FALSE(slurp_file(missing));
  EXPECT_FALSE(slurp_file(dir.path()));  // a directory: the read fails
  EXPECT_EQ(capture.records(), (std::vector<LogRecord>{{LOG_INFO, "WARN/IO " + missing},
                                                       {LOG_INFO, "WARN/IO " + dir.path()}}));
}

}  // namespace
