#include "mail/mta.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/default_config.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/temp_dir.h"
#include "util/unique_fd.h"

namespace {

using Words = std::vector<std::string>;

// Replies to box@host through the recording MTA.
class SendReply : public DefaultConfigTest {
 protected:
  void SetUp() override {
    DefaultConfigTest::SetUp();
    g_config.mta = RecordingMta::program();
    g_config.mta_env = tokenize(RecordingMta::env_names(), -1, ' ');
  }
  static constexpr char kSender[] = "box@host";
};

// True when outcome says the MTA took the reply.
testing::AssertionResult accepted(const MtaOutcome& outcome) {
  if (outcome.status == MtaOutcome::kAccepted) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "status " << outcome.status << " (" << outcome.reason << ")";
}

// True when this process has no child left, zombies included.
bool no_children_left() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

struct CommandLineCase {
  std::string mta_args;
  std::string sender;
  Words expected_args;  // after argv[0], the program path
};

TEST_F(SendReply, CommandLine) {
  const CommandLineCase cases[] = {
      {"", "box@host", {}},
      {"-f <> $sender", "box@host", {"-f", "<>", "box@host"}},
      {"-oi -- $recepient", "box@host", {"-oi", "--", "local.user@site"}},
      {"$recepient:$sender", "box@host", {"local.user@site:box@host"}},
      {"   -oi    -f  $sender     ", "box@host", {"-oi", "-f", "box@host"}},
      // The bracket form of an address keeps blanks; a filled-in address is
      // still one argument and cannot add options of the sender's choosing.
      {"-f <> $sender", "a -X/tmp/log@y", {"-f", "<>", "a -X/tmp/log@y"}},
      {"-f $sender", "", {"-f"}},
  };
  for (const CommandLineCase& c : cases) {
    RecordingMta mta;
    g_config.mta_args = c.mta_args;
    EXPECT_TRUE(accepted(send_reply("local.user@site", c.sender, "text\n")));
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u) << c.mta_args;
    Words expected{RecordingMta::program()};
    expected.insert(expected.end(), c.expected_args.begin(), c.expected_args.end());
    EXPECT_EQ(calls[0].argv, expected) << "mta_args '" << c.mta_args << "'";
  }
}

TEST_F(SendReply, ConfiguredPlaceholders) {
  RecordingMta mta;
  g_config.map_sender = "%from";
  g_config.map_receiver = "%to";
  g_config.mta_args = "-f %to %from $sender";
  EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, "x")));
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].argv,
            (Words{RecordingMta::program(), "-f", "local.user@site", "box@host", "$sender"}));
}

TEST_F(SendReply, TextReachesMtaByteForByte) {
  std::string all_bytes;
  for (int byte = 1; byte < 256; ++byte) all_bytes.push_back(static_cast<char>(byte));
  const std::string texts[] = {
      "",
      "Subject: Re: away\n\n100% sure: %s %n %% $sender\n",
      all_bytes,
      std::string(300000, 'x') + "\nend",
  };
  for (const std::string& text : texts) {
    RecordingMta mta;
    EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, text)));
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, text) << "text of " << text.size() << " bytes";
  }
}

TEST_F(SendReply, TextEndsAtFirstNul) {
  RecordingMta mta;
  EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, std::string("before\0after", 12))));
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, "before");
}

TEST_F(SendReply, SentMailLineFromLoglevelTwo) {
  for (int loglevel : {1, 2}) {
    RecordingMta mta;
    LogCapture capture;
    g_config.loglevel = loglevel;
    EXPECT_TRUE(accepted(send_reply("local.user@site", "box\x01@host", "text")));
    EXPECT_EQ(mta.calls().size(), 1u);
    std::vector<LogRecord> expected;
    if (loglevel > 1)
      expected.push_back({LOG_INFO, "INFO/MAIL sent mail: local.user@site -> box?@host"});
    EXPECT_EQ(capture.records(), expected) << "loglevel " << loglevel;
  }
}

// An MTA that exits with a failure did not take the reply: no "sent mail"
// line, at any loglevel; the caller is told the status.
TEST_F(SendReply, MtaFailureStatusIsReported) {
  for (int status : {1, 75, 255}) {
    RecordingMta mta({.exit_status = status});
    LogCapture capture;
    g_config.loglevel = 3;
    const MtaOutcome outcome = send_reply("local.user@site", kSender, "text");
    EXPECT_EQ(outcome.status, MtaOutcome::kFailed);
    EXPECT_EQ(outcome.reason, "exit status " + std::to_string(status));
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text, "text");
    EXPECT_EQ(capture.records(), std::vector<LogRecord>{});
    EXPECT_TRUE(no_children_left());
  }
}

// MTA stand-ins as shell scripts: one killed by a signal, one that runs
// past mtatimeout (and is killed for it), before or after reading.
TEST_F(SendReply, MtaKilledOrTooSlowIsReported) {
  struct Case {
    const char* script;
    const char* reason;
  } cases[] = {
      {"#!/bin/sh\ncat >/dev/null\nkill -TERM $$\n", "signal 15"},
      {"#!/bin/sh\nkill -KILL $$\n", "signal 9"},
      {"#!/bin/sh\ncat >/dev/null\nexec sleep 30\n", "timed out"},
      {"#!/bin/sh\nexec sleep 30\n", "timed out"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const std::string path = dir.write("mta.sh", c.script);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    g_config.mta = path;
    g_config.mtatimeout = 1;
    g_config.loglevel = 3;
    LogCapture capture;
    const time_t start = time(nullptr);
    const MtaOutcome outcome = send_reply("local.user@site", kSender, std::string(1 << 20, 'x'));
    EXPECT_LT(time(nullptr) - start, 10);
    EXPECT_EQ(outcome.status, MtaOutcome::kFailed);
    EXPECT_EQ(outcome.reason, c.reason);
    EXPECT_FALSE(logged_start(capture.records(), LOG_INFO, "INFO/MAIL sent mail"));
    EXPECT_TRUE(no_children_left());
  }
}

// An MTA that forked and is then killed for the time limit takes its
// children with it, whether it was still reading or already done reading.
TEST_F(SendReply, TimeLimitKillsWhatTheMtaStarted) {
  for (const char* then : {"exec sleep 30\n", "cat >/dev/null\nexec sleep 30\n"}) {
    SCOPED_TRACE(then);
    const ForkingMta forking(then);
    g_config.mta = forking.program();
    g_config.mtatimeout = 1;
    const MtaOutcome outcome = send_reply("local.user@site", kSender, std::string(1 << 20, 'x'));
    EXPECT_EQ(outcome.reason, "timed out");
    ASSERT_GT(forking.child(), 0);
    EXPECT_TRUE(forking.child_ends()) << "the MTA's child " << forking.child() << " still runs";
    EXPECT_TRUE(no_children_left());
  }
}

// An MTA that ends by itself may leave a child to deliver in the background:
// that is how some MTAs work, and it is left alone.
TEST_F(SendReply, MtaThatEndsKeepsItsBackgroundChild) {
  const ForkingMta forking("cat >/dev/null\n");
  g_config.mta = forking.program();
  EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, "text")));
  ASSERT_GT(forking.child(), 0);
  EXPECT_EQ(kill(forking.child(), 0), 0) << "the background child was killed";
}

// Puts standard input back as it was when the owner goes.
class StdinSaved {
 public:
  StdinSaved() : saved_(fcntl(0, F_DUPFD_CLOEXEC, 3)) {}
  ~StdinSaved() {
    dup2(saved_, 0);
    close(saved_);
  }
  StdinSaved(const StdinSaved&) = delete;
  StdinSaved& operator=(const StdinSaved&) = delete;

 private:
  int saved_;
};

// The MTA gets the reply on descriptor 0 and no descriptor above 2, even
// one this process opened without close-on-exec; also when this process
// runs without standard input, so that the pipe itself is descriptor 0.
TEST_F(SendReply, MtaGetsNoDescriptorAboveStandardError) {
  const UniqueFd inherited(open("/dev/null", O_RDONLY));
  ASSERT_GT(inherited.get(), 2);
  for (bool stdin_closed : {false, true}) {
    SCOPED_TRACE(stdin_closed ? "stdin closed" : "stdin open");
    RecordingMta mta;
    std::optional<MtaOutcome> outcome;
    {
      const StdinSaved saved;
      if (stdin_closed) close(0);
      outcome = send_reply("local.user@site", kSender, "text\n");
    }
    EXPECT_TRUE(accepted(*outcome));
    const std::vector<MtaCall> calls = mta.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].stdin_text, "text\n");
    EXPECT_EQ(calls[0].open_fds, std::vector<int>{});
  }
}

// An MTA that goes away without reading leaves the rest of a large reply
// unwritable. That must cost a warning, not the process (SIGPIPE), and the
// MTA is still waited for.
TEST_F(SendReply, MtaThatStopsReadingIsSurvived) {
  const std::string text(8 << 20, 'x');
  for (int loglevel : {0, 1}) {
    RecordingMta mta({.read_input = false});
    LogCapture capture;
    g_config.loglevel = loglevel;
    EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, text)));
    EXPECT_EQ(mta.calls().size(), 1u);
    std::vector<LogRecord> expected;
    if (loglevel > 0)
      expected.push_back({LOG_WARNING, "WARN/MAIL MTA did not take the whole reply"});
    EXPECT_EQ(capture.records(), expected) << "loglevel " << loglevel;
    EXPECT_TRUE(no_children_left());
  }
}

// Saves and restores this process's SIGPIPE disposition and mask around a test.
class SigpipeState {
 public:
  SigpipeState() {
    sigaction(SIGPIPE, nullptr, &action_);
    sigprocmask(SIG_BLOCK, nullptr, &mask_);
  }
  ~SigpipeState() {
    sigaction(SIGPIPE, &action_, nullptr);
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
  }

 private:
  struct sigaction action_ {};
  sigset_t mask_{};
};

sighandler_t current_sigpipe_handler() {
  struct sigaction action {};
  sigaction(SIGPIPE, nullptr, &action);
  return action.sa_handler;
}

TEST_F(SendReply, MtaStartsWithDefaultSigpipe) {
  const SigpipeState saved;
  for (sighandler_t parent : {SIG_DFL, SIG_IGN}) {
    signal(SIGPIPE, parent);
    sigset_t sigpipe_only;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    sigprocmask(parent == SIG_IGN ? SIG_BLOCK : SIG_UNBLOCK, &sigpipe_only, nullptr);

    RecordingMta mta;
    EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, "text")));
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].sigpipe, "default");
    EXPECT_EQ(current_sigpipe_handler(), parent) << "the caller's disposition must come back";
  }
}

// The wait is for the MTA child only: a child that some other part of the
// process forked, and that has already ended, stays there to be collected.
TEST_F(SendReply, WaitsForItsOwnChildOnly) {
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) _exit(7);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(other), &info, WEXITED | WNOWAIT), 0);  // now a zombie

  RecordingMta mta;
  EXPECT_TRUE(accepted(send_reply("local.user@site", kSender, "text")));
  EXPECT_EQ(mta.calls().size(), 1u);

  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
  EXPECT_TRUE(no_children_left());
}

// A program that cannot be run is reported by orvelt itself, at every
// loglevel; the reply is not written to it (no "did not take the whole
// reply"), is not sent, and no child is left behind.
TEST_F(SendReply, UnrunnableMtaIsReported) {
  g_config.mta = "/nonexistent/mta";
  struct Case {
    const char* mta_args;
    const char* command_line;
  };
  for (const Case& c :
       {Case{"-f <> $sender", "/nonexistent/mta -f <> box@host"}, Case{"", "/nonexistent/mta "}}) {
    for (int loglevel : {0, 2}) {
      g_config.mta_args = c.mta_args;
      g_config.loglevel = loglevel;
      LogCapture capture;
      const MtaOutcome outcome = send_reply("local.user@site", kSender, "text");
      EXPECT_EQ(outcome.status, MtaOutcome::kFailed);
      EXPECT_EQ(outcome.reason, "not run");
      const std::vector<LogRecord> expected{
          {LOG_ERR, std::string("CRIT/MAIL execv(3) returned: ") + c.command_line}};
      EXPECT_EQ(capture.records(), expected) << c.mta_args << ", loglevel " << loglevel;
      EXPECT_TRUE(no_children_left());
    }
  }
}

// A file that may not be run, or is no program, fails like a missing one.
TEST_F(SendReply, MtaThatCannotBeRunIsReported) {
  TempDir dir;
  for (mode_t mode : {0644, 0755}) {
    const std::string path = dir.write("not-a-program", "plain text\n");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    g_config.mta = path;
    LogCapture capture;
    const MtaOutcome outcome = send_reply("local.user@site", kSender, "text");
    EXPECT_EQ(outcome.status, MtaOutcome::kFailed);
    EXPECT_EQ(outcome.reason, "not run");
    EXPECT_EQ(capture.records(),
              (std::vector<LogRecord>{{LOG_ERR, "CRIT/MAIL execv(3) returned: " + path + " "}}))
        << "mode " << std::oct << mode;
    EXPECT_TRUE(no_children_left());
  }
}

// A slow MTA stand-in that writes its input to a file named by its first
// argument (the receiver) after a while, then exits with status.
std::string slow_mta(const TempDir& dir, const std::string& then) {
  const std::string path = dir.write("slow-mta.sh", "#!/bin/sh\nsleep 0.3\n" + then + "\n");
  EXPECT_EQ(chmod(path.c_str(), 0755), 0);
  return path;
}

// Seconds since an arbitrary start.
double seconds_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Two threads send a reply each at once: each collects its own MTA as soon
// as it ends, neither waits for its time limit, and each reply reaches its
// own MTA. Also when both MTAs go without reading a large reply, so that
// both threads write into a pipe whose reader has gone at once.
TEST_F(SendReply, ThreadsSendingAtOnceEachCollectTheirOwnMta) {
  struct Case {
    const char* then;  // after the pause
    size_t text_size;
    bool reaches_mta;
  } cases[] = {
      {"cat > \"$(dirname \"$0\")/$1\"", 100, true},
      {"exit 0", 8 << 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.then);
    TempDir dir;
    g_config.mta = slow_mta(dir, c.then);
    g_config.mta_args = "$recepient";
    g_config.mtatimeout = 20;
    const Config config = g_config;
    const double start = seconds_now();
    std::vector<std::thread> threads;
    for (const std::string receiver : {"first", "second"}) {
      threads.emplace_back([&config, receiver, &c] {
        g_config = config;
        const std::string text = receiver + std::string(c.text_size, 'x');
        EXPECT_TRUE(accepted(send_reply(receiver, kSender, text))) << receiver;
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LT(seconds_now() - start, 5.0);
    EXPECT_TRUE(no_children_left());
    if (!c.reaches_mta) continue;
    for (const std::string receiver : {"first", "second"}) {
      EXPECT_EQ(read_file(dir.file(receiver)), receiver + std::string(c.text_size, 'x'));
    }
  }
}

// Makes pidfd_open fail with ENOSYS in this process and its children, as on
// a kernel that has none. False when the filter cannot be installed.
bool without_pidfd_open() {
#ifdef SYS_pidfd_open
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return false;
  return syscall(SYS_pidfd_open, getpid(), 0) < 0 && errno == ENOSYS;
#else
  return true;
#endif
}

// Where the kernel has no pidfd_open, the MTA's end is still seen soon
// after it comes, and the time limit still holds. Run in a child process,
// which alone gets the filter.
TEST_F(SendReply, WithoutPidfdTheEndAndTheTimeLimitStillHold) {
  TempDir dir;
  struct Case {
    const char* then;
    int mtatimeout;
    const char* reason;  // empty: accepted
    double most_seconds;
  } cases[] = {
      {"cat >/dev/null", 20, "", 2.0},
      {"exit 3", 20, "exit status 3", 2.0},
      {"exec sleep 30", 1, "timed out", 3.0},
  };
  EXPECT_EXIT(
      {
        if (!without_pidfd_open()) {
          fprintf(stderr, "no seccomp filter\n");
          _exit(2);
        }
        int failures = 0;
        for (const Case& c : cases) {
          g_config.mta = slow_mta(dir, c.then);
          g_config.mtatimeout = c.mtatimeout;
          const double start = seconds_now();
          const MtaOutcome outcome = send_reply("local.user@site", kSender, "text");
          const double took = seconds_now() - start;
          if (outcome.reason != c.reason || took > c.most_seconds || !no_children_left()) {
            fprintf(stderr, "%s: \"%s\" after %.2f s\n", c.then, outcome.reason.c_str(), took);
            ++failures;
          }
        }
        _exit(failures == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
