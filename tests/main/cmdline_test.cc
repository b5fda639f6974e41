#include "main/cmdline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "config/config.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace {

// The default configuration file is the one the build was configured with
// (ORVELT_CONFIG_FILE; the package test checks the Debian one).
const std::string kUsage =
    "\nORVELT(v3.6) - Quenmarrow\n\n  Read email through stdin, reply to it, if nescessary\n  "
    "Options:\n\n  \t-h\t\tprint help\n  \t-a <address>\tforce receiver address\n  \t-s "
    "<address>\tforce sender address\n  \t-c <cfgfile>\tuse configfile (default: " +
    std::string(kDefaultConfigPath) +
    ")\n  \t-t\t\ttest the configfile: print its problems, exit 1 if any\n  \n";

struct Parsed {
  std::string config_path;
  StringList forced_receivers;
  OptionalText forced_sender;
  bool null_sender_forced;
  bool usage_requested;
  bool test_requested;
};

// Runs read_options over a command line, from a clean parser state.
Parsed parse(std::vector<std::string> words) {
  optind = 0;  // glibc: full re-initialisation of getopt
  std::vector<char*> argv;
  words.insert(words.begin(), "orvelt");
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  Options o = read_options(static_cast<int>(argv.size() - 1), argv.data());
  return {o.config_path,        o.forced_receivers, o.forced_sender,
          o.null_sender_forced, o.usage_requested,  o.test_requested};
}

TEST(Options, ForcedReceivers) {
  struct Case {
    std::vector<std::string> args;
    StringList expected;
  } cases[] = {
      {{"-a", ""}, {}},
      {{"-a", "Box@Host", "-a", "box@HOST"}, {"box@host"}},
      // The raw argument is compared before normalisation.
      {{"-a", "box@host", "-a", "<box@host>"}, {"box@host", "box@host"}},
      {{"-a", "<box@host>", "-a", "box@host"}, {"box@host"}},
      {{"-a", "$%^", "-a", "x@y"}, {"x@y"}},
      {{"-a", "a@b", "word", "-a", "c@d"}, {"a@b"}},
      {{"-a", "a@b", "--", "-a", "c@d"}, {"a@b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse(c.args).forced_receivers, c.expected) << testing::PrintToString(c.args);
  }
}

TEST(Options, ForcedSenderAndConfigPath) {
  Parsed o = parse({"-s", "A <X@Y>", "-s", "Z@W"});
  EXPECT_EQ(o.forced_sender, "z@w");
  EXPECT_EQ(o.config_path, kDefaultConfigPath);
  o = parse({"-s", "a@b", "-s", "$%^"});
  EXPECT_FALSE(o.forced_sender);
  EXPECT_TRUE(o.null_sender_forced);
  o = parse({"-c", "/one", "-x", "-c", "/two"});
  EXPECT_EQ(o.config_path, "/two");
  o = parse({"-c", "/one", "-c"});
  EXPECT_EQ(o.config_path, "/one");
}

// An -s without an address is how the MTA passes the null envelope sender;
// only the last -s counts, as for the address itself.
TEST(Options, NullSender) {
  const struct Case {
    std::vector<std::string> args;
    OptionalText sender;
    bool null_sender_forced;
  } cases[] = {
      {{}, std::nullopt, false},
      {{"-s", ""}, std::nullopt, true},
      {{"-s", "<>"}, std::nullopt, true},
      {{"-s", "a@b", "-s", "<>"}, std::nullopt, true},
      {{"-s", "", "-s", "A@B"}, "a@b", false},
      {{"-s", "a@b"}, "a@b", false},
      {{"-s"}, std::nullopt, false},  // no argument: ignored
      {{"word", "-s", ""}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    const Parsed o = parse(c.args);
    EXPECT_EQ(o.forced_sender, c.sender) << testing::PrintToString(c.args);
    EXPECT_EQ(o.null_sender_forced, c.null_sender_forced) << testing::PrintToString(c.args);
  }
}

// -h ends the reading: what came before it has been handled, what follows
// is never looked at.
TEST(Options, HelpStopsReading) {
  const Parsed o = parse({"-a", "First@Site", "-c", "/x", "-h", "-a", "second@site", "-c", "/y"});
  EXPECT_TRUE(o.usage_requested);
  EXPECT_EQ(o.forced_receivers, StringList{"first@site"});
  EXPECT_EQ(o.config_path, "/x");
  EXPECT_FALSE(parse({"-a", "first@site"}).usage_requested);
}

// -t asks for the configuration test of the file the last -c names.
TEST(Options, TestOfTheConfiguration) {
  Parsed o = parse({"-t", "-c", "/x", "-c", "/y"});
  EXPECT_TRUE(o.test_requested);
  EXPECT_EQ(o.config_path, "/y");
  o = parse({"-c", "/x", "-t"});
  EXPECT_TRUE(o.test_requested);
  EXPECT_EQ(o.config_path, "/x");
  EXPECT_FALSE(parse({"-c", "/x"}).test_requested);
}

TEST(Binary, UsageText) {
  for (const auto& args :
       {std::vector<std::string>{"-h"}, {"-c", "/x", "-h", "-c", "/y"}, {"-h", "-q"}}) {
    ProgramResult r = run_orvelt(args, "");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_TRUE(r.log_events.empty());
  }
}

TEST(Binary, MissingConfigurationIsFatal) {
  ProgramResult r = run_orvelt({"-c", "/nonexistent/orvelt.cfg"}, "");
  EXPECT_EQ(r.exit_status, kDefaultFatalStatus);
  ASSERT_FALSE(r.log_events.empty());
  EXPECT_EQ(r.log_events.front(),
            "open orvelt " + std::to_string(LOG_PID) + " " + std::to_string(LOG_MAIL));
  EXPECT_EQ(r.log, (std::vector<LogRecord>{
                       {LOG_ERR, "CRIT/IO /nonexistent/orvelt.cfg: No such file or directory"}}));
}

// The test build keeps the default of the build option; a package may
// build with another (75), which every fatal stop before the configuration
// counts then ends with.
TEST(Binary, DefaultFailstatusIsTheBuildOption) {
  EXPECT_EQ(kDefaultFatalStatus, ORVELT_DEFAULT_FAILSTATUS);
  EXPECT_EQ(kDefaultFatalStatus, 1);
  config_set_defaults();
  EXPECT_EQ(g_config.failstatus, ORVELT_DEFAULT_FAILSTATUS);
}

// A configuration that cannot be read names the reason after its path, in
// the log and on standard error, and ends the run with the build's default
// status whatever the file would set. Every run is given 10 seconds: one
// that hangs (a FIFO without a writer blocks a plain open) is killed and
// fails its case instead of holding the suite.
TEST(Binary, UnreadableConfigurationNamesTheReason) {
  TempDir dir;
  const std::string regular = dir.write("orvelt.cfg", "failstatus 75\n");
  const std::string fifo = dir.file("fifo.cfg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string reason;
  };
  std::vector<Case> cases = {
      {dir.file("missing.cfg"), "No such file or directory"},
      {dir.path(), "Is a directory"},
      {regular + "/orvelt.cfg", "Not a directory"},
      {"/dev/null", "not a regular file"},
      {fifo, "not a regular file"},
      // A regular file by its mode that fails the first read.
      {"/proc/self/mem", "Input/output error"},
  };
  // Root reads a file of mode 0000 all the same.
  if (geteuid() != 0) {
    const std::string locked = dir.write("locked.cfg", "failstatus 75\n");
    EXPECT_EQ(chmod(locked.c_str(), 0), 0);
    cases.push_back({locked, "Permission denied"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ProgramRun run;
    run.program = "/usr/bin/timeout";
    run.args = {"-s", "KILL", "10", ORVELT_BINARY, "-c", c.path};
    run.stdin_text = "From: a@b\nTo: c@d\n\nhi\n";
    const ProgramResult r = run_program(run);
    const std::string line = "CRIT/IO " + c.path + ": " + c.reason;
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, kDefaultFatalStatus);
    EXPECT_EQ(r.log, (std::vector<LogRecord>{{LOG_ERR, line}}));
    EXPECT_EQ(r.err, "orvelt: " + line + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(Binary, UnknownDirectiveWarnsAndRunGoesOn) {
  TempDir dir;
  const std::string cfg =
      dir.write("orvelt.cfg", "Frobnicate yes\nblockfiles " + dir.path() + "\n");
  ProgramResult r = run_orvelt({"-c", cfg, "-z"}, "");
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_FALSE(r.log.empty());
  EXPECT_EQ(r.log.front(),
            (LogRecord{LOG_WARNING, "WARN/CFG Unknown config directive: Frobnicate"}));
  EXPECT_NE(r.err.find("invalid option"), std::string::npos);
}

}  // namespace
