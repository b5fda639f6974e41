// The program under valgrind's memcheck for a few representative runs: no
// invalid read or write, no use of uninitialised memory, and no memory lost.
// The process-wide records live until exit and are released by it, so even
// "still reachable" blocks are only the libraries' own.
//
// Skipped in sanitizer builds, which valgrind cannot run. scripts/memcheck
// runs these alone (ctest -L memcheck).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/sanitized.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

constexpr int kValgrindFoundErrors = 99;

// valgrind before 3.20 does not know pidfd_open (syscall 434) and says so
// in these lines, even with --quiet; the program then waits for its MTA as
// on a kernel without it.
std::string without_unknown_pidfd_open(const std::string& log) {
  static const std::regex warning(
      "--[0-9]+-- WARNING: unhandled [a-z0-9]+-linux syscall: 434\n"
      "(--[0-9]+-- (You may|Read the|Nevertheless|it at)[^\n]*\n)*");
  return std::regex_replace(log, warning, "");
}

class Memcheck : public testing::Test {
 protected:
  void SetUp() override {
    if (kSanitized) GTEST_SKIP() << "valgrind cannot run a sanitizer build";
    ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0);
  }

  std::string config(const std::string& extra) const {
    return TestConfig(server_, blockdir_)
        .set("forceheader", dir_.write("header", "To: $sender\nSubject: Re: $subject\n\n"))
        .set("forcefooter", dir_.write("footer", "\n-- \n$recepient, $name\n"))
        .set("map_field", "$name cn")
        .add(extra)
        .write(dir_);
  }

  // Runs orvelt under memcheck; the run's own outcome is checked by the
  // caller, memcheck's verdict here.
  ProgramResult run_checked(const std::string& message, const std::string& extra_config = "") {
    const std::string log = dir_.file("valgrind.log");
    ProgramRun run;
    run.program = "/usr/bin/valgrind";
    run.args = {"--tool=memcheck",
                "--quiet",
                "--error-exitcode=" + std::to_string(kValgrindFoundErrors),
                "--leak-check=full",
                "--show-leak-kinds=definite,indirect,possible",
                "--errors-for-leak-kinds=definite,indirect,possible",
                "--track-origins=yes",
                std::string("--suppressions=") + ORVELT_SOURCE_DIR + "/tests/main/valgrind.supp",
                "--log-file=" + log,
                ORVELT_BINARY,
                "-c",
                config(extra_config)};
    run.stdin_text = message;
    ProgramResult r = run_program(run);
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_NE(r.exit_status, kValgrindFoundErrors) << read_file(log);
    // --quiet: memcheck says nothing unless it found something
    EXPECT_EQ(without_unknown_pidfd_open(read_file(log)), "");
    return r;
  }

  static std::string message(const std::string& to, const std::string& extra = "") {
    return "From: Some Name <Box@Host>\nTo: " + to + "\nSubject: Lunch?\n" + extra + "\nbody\n";
  }

  SlapdServer server_{
      SlapdOptions().entries(ldif_people_unit() +
                             ldif_person("local", "local@site", "TRUE",
                                         {"Gr\xC3\xBC\xC3\x9F"
                                          "e, $sender: I am away.\n"}) +
                             ldif_person("two1", "two@site", "TRUE", {"first\n"}) +
                             ldif_person("two2", "two@site", "TRUE", {"second\n"}))};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

TEST_F(Memcheck, AcceptedReplyWithHeaderAndFooterThenBlocked) {
  RecordingMta mta;
  ProgramResult r = run_checked(message("local@site, nobody@site"));
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text,
            "To: box@host\nSubject: Re: Lunch?\n\nGr\xC3\xBC\xC3\x9F"
            "e, box@host: I am away.\n"
            "\n-- \nlocal@site, local\n");
  r = run_checked(message("local@site"));  // the repeat is suppressed
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
}

// A configuration file whose last line has no newline: that line counts,
// and the reader looks at no byte it did not read. The line is the longest
// of the file (trailing blanks do not count in a value), so that the line
// buffer holds bytes no earlier line has written.
TEST_F(Memcheck, ConfigurationWithoutFinalNewline) {
  RecordingMta mta;
  const ProgramResult r =
      run_checked(message("local@site"), "blockexpire 0" + std::string(1000, ' '));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(blockdir_ + "/local@site"));
}

TEST_F(Memcheck, CharsetConversion) {
  for (const char* charset : {"ISO-8859-1", "ISO-2022-JP", "NO-SUCH-CHARSET"}) {
    SCOPED_TRACE(charset);
    RecordingMta mta;
    const ProgramResult r = run_checked(message("local@site, two@site"),
                                        std::string("blockexpire 0\ncharset ") + charset + "\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(mta.calls().size(), 3u);
  }
}

TEST_F(Memcheck, DeclinedMessages) {
  for (const std::string& text : {message("local@site", "Sender: list@host\n"), std::string(),
                                  std::string("\0\xff garbage\n\n", 12)}) {
    RecordingMta mta;
    const ProgramResult r = run_checked(text);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(mta.calls().empty());
  }
}

}  // namespace
