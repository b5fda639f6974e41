#include "dbtool/key_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

struct LineCase {
  std::string line;
  KeyKind kind;
  std::string key;  // expected key, when usable
  bool usable;
};

TEST(KeyFromLine, Table) {
  const std::string longest(kMaxHeaderLineBytes, 'x');
  const LineCase cases[] = {
      // Header lines are kept byte for byte: case, blanks, tabs, a CR.
      {"Precedence: bulk", KeyKind::kHeaderLine, "Precedence: bulk", true},
      {"precedence:  BULK ", KeyKind::kHeaderLine, "precedence:  BULK ", true},
      {"\tcontinued", KeyKind::kHeaderLine, "\tcontinued", true},
      {"X-Spam: yes\r", KeyKind::kHeaderLine, "X-Spam: yes\r", true},
      {longest, KeyKind::kHeaderLine, longest, true},
      {longest + "x", KeyKind::kHeaderLine, "", false},
      {std::string("X: a\0b", 6), KeyKind::kHeaderLine, "", false},
      {"X: a\nb", KeyKind::kHeaderLine, "", false},
      // Addresses are normalised as the program normalises receivers.
      {"Jane Doe <Jane.Doe@Example.ORG>", KeyKind::kAddress, "jane.doe@example.org", true},
      {"  BOX+tag@Host  ", KeyKind::kAddress, "box+tag@host", true},
      {"box@host\r", KeyKind::kAddress, "box@host", true},
      {"***", KeyKind::kAddress, "", false},
      {"<>", KeyKind::kAddress, "", false},
      {std::string("a@b\0c", 5), KeyKind::kAddress, "", false},
  };
  for (const LineCase& c : cases) {
    const KeyOrReason k = key_from_line(c.line, c.kind);
    EXPECT_EQ(k.reason.empty(), c.usable) << c.line.substr(0, 40) << ": " << k.reason;
    if (c.usable) {
      EXPECT_EQ(k.key, c.key);
    }
  }
}

// Owns a temporary file holding given bytes, positioned at its start.
struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
std::unique_ptr<FILE, FileCloser> stream_of(const std::string& bytes) {
  std::unique_ptr<FILE, FileCloser> f(tmpfile());
  fwrite(bytes.data(), 1, bytes.size(), f.get());
  rewind(f.get());
  return f;
}

TEST(ReadKeyLines, SkipsWhatCannotBeAKeyAndNumbersLinesAsAnEditorDoes) {
  const std::string input = std::string("A: 1\n") +            // 1
                            "\n" +                             // 2 empty
                            std::string("B: \0x\n", 6) +       // 3 NUL byte
                            std::string(100000, 'y') + "\n" +  // 4 far too long
                            std::string(3000, 'z') + "\n" +    // 5 too long for a header
                            "C: 3\r\n" +                       // 6
                            "D: last";                         // 7, no newline
  auto in = stream_of(input);
  KeyLines lines;
  ASSERT_TRUE(read_key_lines(in.get(), KeyKind::kHeaderLine, lines));
  EXPECT_EQ(lines.keys, (std::vector<std::string>{"A: 1", "C: 3\r", "D: last"}));
  ASSERT_EQ(lines.rejected.size(), 3u);
  EXPECT_EQ(lines.rejected[0].number, 3u);
  EXPECT_EQ(lines.rejected[0].reason, "contains a NUL byte");
  EXPECT_EQ(lines.rejected[1].number, 4u);
  EXPECT_EQ(lines.rejected[1].reason, "longer than 65536 bytes");
  EXPECT_EQ(lines.rejected[2].number, 5u);
  EXPECT_EQ(lines.rejected[2].reason.rfind("longer than 2098 bytes", 0), 0u);
}

TEST(ReadKeyLines, AddressesThatNormaliseToNothingAreReported) {
  auto in = stream_of("Jane <JANE@X>\n# comment line\n<>\nbob@y\nbob@y\n");
  KeyLines lines;
  ASSERT_TRUE(read_key_lines(in.get(), KeyKind::kAddress, lines));
  // No comment syntax: every line that holds address bytes is a key.
  EXPECT_EQ(lines.keys, (std::vector<std::string>{"jane@x", "comment", "bob@y", "bob@y"}));
  ASSERT_EQ(lines.rejected.size(), 1u);
  EXPECT_EQ(lines.rejected[0].number, 3u);
  EXPECT_EQ(lines.rejected[0].reason, "holds no address");
}

TEST(ReadKeyLines, EmptyInputGivesNothing) {
  auto in = stream_of("");
  KeyLines lines;
  ASSERT_TRUE(read_key_lines(in.get(), KeyKind::kHeaderLine, lines));
  EXPECT_TRUE(lines.keys.empty());
  EXPECT_TRUE(lines.rejected.empty());
}

TEST(ReadKeyLines, AReadErrorIsReported) {
  // A stream open for writing only cannot be read.
  std::unique_ptr<FILE, FileCloser> out(fopen("/dev/null", "w"));
  ASSERT_TRUE(out);
  KeyLines lines;
  EXPECT_FALSE(read_key_lines(out.get(), KeyKind::kHeaderLine, lines));
}

}  // namespace
