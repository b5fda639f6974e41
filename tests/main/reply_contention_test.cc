// Many instances of the program at once, as a busy mail server starts them:
// 32 processes answer mail on behalf of one receiver at the same moment, on
// the real directory, with real block files, real lock-retry pauses and the
// recording MTA. No record may be lost, no process may fail, and a sender
// is answered twice only when two of its messages were handled at once
// (nothing holds the lock between the check and the record).
//
// The default suite runs three waves of 32 processes. Every collision on
// the block file's lock costs a real pause of 1 to 10 seconds, so twenty
// waves (640 messages) take several minutes: scripts/contention runs those.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/unique_fd.h"

namespace {

constexpr int kProcessesAtOnce = 32;
constexpr const char* kReceiver = "away@site";

using Clock = std::chrono::steady_clock;

// One program instance of a wave.
struct Contender {
  std::string sender;
  std::string files;  // path prefix of its stderr, syslog and pause records
  pid_t pid = -1;
  UniqueFd input;  // the write end of its standard input
  int status = 0;
};

// What a whole run of waves came to.
struct Tally {
  int processes = 0;
  int failed = 0;          // not exited 0, or ended by a signal
  int noisy = 0;           // wrote to stderr (a sanitizer report, say)
  int logged_trouble = 0;  // logged a CRIT or WARN message
  int deferred = 0;        // met its twin's pending claim: tried again later
  int pauses = 0;
  double pause_seconds = 0;
  std::map<std::string, int> messages;  // per sender
  std::set<std::string> raced;          // senders with two messages in one wave
};

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::string message_from(const std::string& sender) {
  return "From: " + sender + "\nTo: Away@Site\nSubject: contention\n\nbody\n";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

class ReplyContention : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0);
    config_ = TestConfig(server_, blockdir_).set("loglevel", "1").write(dir_);
  }

  // Starts the program with a pipe as its standard input, left open: it
  // reads its configuration and then waits for the message.
  void launch(Contender& c) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    UniqueFd read_end(fds[0]);
    c.input.reset(fds[1]);
    const std::vector<std::string> env = environment_with({
        std::string("LD_PRELOAD=") + SYSLOG_CAPTURE_LIBRARY + ":" + PAUSE_COUNT_LIBRARY,
        "ORVELT_LOG_CAPTURE=" + c.files + ".syslog",
        "ORVELT_TEST_PAUSE_LOG=" + c.files + ".pauses",
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
    });
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string err = c.files + ".stderr";
    const char* argv[] = {ORVELT_BINARY, "-c", config_.c_str(), nullptr};

    c.pid = fork();
    ASSERT_GE(c.pid, 0);
    if (c.pid == 0) {
      const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err_fd < 0 || dup2(read_end.get(), 0) < 0 || dup2(err_fd, 2) < 0) _exit(127);
      execve(argv[0], const_cast<char**>(argv), envp.data());
      _exit(127);
    }
  }

  // Runs one process per sender, all at once: every one is started and
  // waiting for its input before the first message is written.
  void run_wave(const std::vector<std::string>& senders, Tally& tally) {
    std::vector<Contender> wave(senders.size());
    std::set<std::string> in_wave;
    for (size_t i = 0; i < senders.size(); ++i) {
      wave[i].sender = senders[i];
      wave[i].files = dir_.file("p" + std::to_string(tally.processes + static_cast<int>(i)));
      launch(wave[i]);
      if (!in_wave.insert(senders[i]).second) tally.raced.insert(senders[i]);
    }
    for (Contender& c : wave) {
      const std::string text = message_from(c.sender);
      ASSERT_EQ(write(c.input.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
      c.input.reset();
    }
    for (Contender& c : wave) {
      ASSERT_EQ(waitpid(c.pid, &c.status, 0), c.pid);
      tally_process(c, tally);
    }
  }

  static void tally_process(const Contender& c, Tally& tally) {
    ++tally.processes;
    ++tally.messages[c.sender];
    // The second copy of a sender, handled while the first one's reply was
    // on its way, ends with failstatus so that the MTA tries it again.
    const std::string pending =
        "WARN/MAIL reply to " + c.sender + " for " + kReceiver + " pending in another run";
    if (tally.raced.count(c.sender) && WIFEXITED(c.status) && WEXITSTATUS(c.status) != 0 &&
        read_file(c.files + ".stderr") == "orvelt: " + pending + "\n" &&
        read_captured_log(c.files + ".syslog") == std::vector<LogRecord>{{LOG_ERR, pending}}) {
      ++tally.deferred;
      return;
    }
    const bool clean_exit = WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    if (!clean_exit) ++tally.failed;
    EXPECT_TRUE(clean_exit) << c.sender << ": status " << c.status
                            << (WIFSIGNALED(c.status) ? ", signal " : "")
                            << (WIFSIGNALED(c.status) ? std::to_string(WTERMSIG(c.status)) : "");
    const std::string err = read_file(c.files + ".stderr");
    if (!err.empty()) ++tally.noisy;
    EXPECT_EQ(err, "") << c.sender;
    for (const LogRecord& record : read_captured_log(c.files + ".syslog")) {
      ++tally.logged_trouble;
      ADD_FAILURE() << c.sender << " logged: " << record.text;
    }
    for (const std::string& line : lines_of(read_file(c.files + ".pauses"))) {
      ++tally.pauses;
      tally.pause_seconds += std::stod(line);
    }
  }

  // waves waves of 32 distinct new senders each, then one wave of 32 that
  // sends again: 8 answered senders twice each (all suppressed, their
  // records are there) and 8 new senders twice each, both copies at once.
  void run_waves(int waves) {
    const time_t started = time(nullptr);
    const Clock::time_point start = Clock::now();
    RecordingMta mta;
    Tally tally;
    auto sender = [](int n) { return "sender" + std::to_string(n) + "@host"; };
    for (int w = 0; w < waves; ++w) {
      std::vector<std::string> senders;
      for (int i = 0; i < kProcessesAtOnce; ++i)
        senders.push_back(sender(w * kProcessesAtOnce + i));
      run_wave(senders, tally);
    }
    const int fresh = waves * kProcessesAtOnce;
    std::vector<std::string> last;
    std::set<std::string> answered_before;
    for (int i = 0; i < kProcessesAtOnce / 4; ++i) {
      const std::string old = sender(i * fresh / (kProcessesAtOnce / 4));
      answered_before.insert(old);
      last.insert(last.end(), {old, old, sender(fresh + i), sender(fresh + i)});
    }
    run_wave(last, tally);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const time_t finished = time(nullptr);

    // One reply per sender, or two for a sender whose two copies raced.
    std::map<std::string, int> replies;
    const std::vector<MtaCall> calls = mta.calls();
    for (const MtaCall& call : calls) {
      EXPECT_EQ(call.argv.size(), 4u);
      if (call.argv.size() == 4) ++replies[call.argv[3]];
    }
    int doubles = 0;
    for (const auto& [who, count] : tally.messages) {
      const int got = replies.count(who) ? replies.at(who) : 0;
      if (got == 2) ++doubles;
      if (answered_before.count(who)) {
        EXPECT_EQ(got, 1) << who << ": a repeat after the record must be suppressed";
      } else if (tally.raced.count(who)) {
        EXPECT_TRUE(got == 1 || got == 2) << who << " got " << got;
      } else {
        EXPECT_EQ(got, 1) << who;
      }
    }
    EXPECT_EQ(replies.size(), tally.messages.size()) << "a reply went to a sender that wrote none";

    // Every sender's record, with a time inside the run; nothing else.
    std::map<std::string, std::string> records;
    try {
      records = read_gdbm(blockdir_ + "/" + kReceiver);
    } catch (const std::exception& e) {
      FAIL() << "block file does not open: " << e.what();
    }
    printf(
        "contention: %d processes (%d at once), %d messages from %zu senders, %zu records, "
        "%zu replies, %d doubles (%d new senders sent twice at once), %.1f s wall, "
        "%d lock-retry pauses (%.3f s in all), %d failed, %d with stderr output, "
        "%d logged CRIT/WARN, %d deferred\n",
        tally.processes, kProcessesAtOnce, tally.processes, tally.messages.size(), records.size(),
        calls.size(), doubles, kProcessesAtOnce / 4, seconds, tally.pauses, tally.pause_seconds,
        tally.failed, tally.noisy, tally.logged_trouble, tally.deferred);
    EXPECT_EQ(records.size(), tally.messages.size());
    for (const auto& [who, count] : tally.messages) {
      const auto found = records.find(who + std::string(1, '\0'));
      if (found == records.end() || found->second.size() != 8) {
        ADD_FAILURE() << who << ": record lost or not 8 bytes";
        continue;
      }
      int64_t when;
      memcpy(&when, found->second.data(), sizeof when);
      EXPECT_GE(when, started) << who;
      EXPECT_LE(when, finished) << who;
    }

    RecordProperty("doubles", doubles);
    RecordProperty("pauses", tally.pauses);
  }

  SlapdServer server_{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}))};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
  std::string config_;
};

TEST_F(ReplyContention, ThreeWavesOfThirtyTwoProcesses) { run_waves(3); }

// 32 x 20 distinct senders: several minutes of real lock-retry pauses.
// Run by scripts/contention.
TEST_F(ReplyContention, DISABLED_TwentyWavesOfThirtyTwoProcesses) { run_waves(20); }

}  // namespace
