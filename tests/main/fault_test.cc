// Faults around a run of the built program, each brought about for real: an
// MTA that fails or hangs with children of its own, descriptors left open by
// the program's parent, a directory that stops answering or is not there, a
// configuration file that is no file, descriptors closed at the start,
// processes racing for one reply, and block files that cannot be read or
// written. Whatever goes wrong, a reply never goes out without its record,
// and a run that cannot do its work stops with the configured failstatus so
// that the MTA tries the message again later.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/log.h"
#include "util/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReceiver = "away@site";
constexpr const char* kOtherReceiver = "other@site";
constexpr const char* kSender = "box@host";
constexpr int kFailStatus = 75;

std::string test_directory() {
  return ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}) +
         ldif_person("other", kOtherReceiver, "TRUE", {"Other is away.\n"});
}

std::string message(const std::string& from, const std::string& to = kReceiver) {
  return "From: " + from + "\nTo: " + to + "\nSubject: Lunch?\n\nAre you free?\n";
}

// True when the GDBM file at path holds a record for sender (key with its
// NUL byte); false also when the file does not open.
bool recorded(const std::string& path, const std::string& sender) {
  try {
    return read_gdbm(path).count(sender + std::string(1, '\0')) == 1;
  } catch (const std::exception&) {
    return false;
  }
}

// The 8-byte block time the program stores: seconds, host byte order.
std::string block_time(int64_t seconds) {
  return std::string(reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A loopback port on which nothing listens.
int closed_port() {
  const UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return 1;
  }
  return ntohs(address.sin_port);
}

// A directory that accepts connections, answers every bind with success and
// then never says another word: the search waits on a connection that is up.
class SilentDirectory {
 public:
  SilentDirectory() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const int one = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_.get(), 8) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("silent directory: no listening socket");
    }
    port_ = ntohs(address.sin_port);
    serving_ = std::thread([this] { serve(); });
  }
  ~SilentDirectory() {
    stop_ = true;
    serving_.join();
  }
  SilentDirectory(const SilentDirectory&) = delete;
  SilentDirectory& operator=(const SilentDirectory&) = delete;

  int port() const { return port_; }
  int binds_answered() const { return binds_; }

 private:
  // The BindResponse (resultCode success) for the request in request, with
  // its message ID; empty when request is no LDAP message.
  static std::string bind_response(const std::string& request) {
    if (request.size() < 2 || static_cast<unsigned char>(request[0]) != 0x30) return "";
    size_t at = 2;
    const unsigned char length = static_cast<unsigned char>(request[1]);
    if (length & 0x80) at += length & 0x7f;
    if (request.size() < at + 2 || request[at] != 0x02) return "";
    const size_t id_size = static_cast<unsigned char>(request[at + 1]);
    if (request.size() < at + 2 + id_size) return "";
    const std::string id = request.substr(at, 2 + id_size);
    const std::string result("\x61\x07\x0a\x01\x00\x04\x00\x04\x00", 9);
    return std::string(1, '\x30') + static_cast<char>(id.size() + result.size()) + id + result;
  }

  void serve() {
    std::vector<UniqueFd> connections;
    std::set<int> answered;
    while (!stop_) {
      std::vector<pollfd> waiting{{listener_.get(), POLLIN, 0}};
      for (const UniqueFd& c : connections) waiting.push_back({c.get(), POLLIN, 0});
      if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
      if (waiting[0].revents & POLLIN) {
        connections.emplace_back(accept(listener_.get(), nullptr, nullptr));
      }
      for (size_t i = 1; i < waiting.size(); ++i) {
        if (!(waiting[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        const ssize_t got = read(waiting[i].fd, buffer, sizeof buffer);
        if (got <= 0) continue;
        // Only the first request of a connection, the bind, is answered.
        if (answered.count(waiting[i].fd) != 0) continue;
        const std::string response = bind_response(std::string(buffer, static_cast<size_t>(got)));
        if (response.empty()) continue;
        answered.insert(waiting[i].fd);
        (void)!write(waiting[i].fd, response.data(), response.size());
        ++binds_;
      }
    }
  }

  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> binds_{0};
  std::thread serving_;
};

class FaultTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  // The usual configuration for the test directory and the recording MTA,
  // with failstatus kFailStatus, then the directives of config.
  TestConfig config() const {
    return TestConfig(server_, blockdir_).set("failstatus", std::to_string(kFailStatus));
  }

  ProgramResult run(const TestConfig& config, const std::string& text) {
    ProgramRun run;
    run.args = {"-c", config.write(dir_)};
    run.stdin_text = text;
    return run_program(run);
  }

  std::string block_file(const std::string& receiver = kReceiver) const {
    return blockdir_ + "/" + receiver;
  }

  // A fatal stop of the program: the status, the log line at priority and
  // the same text on standard error.
  static void expect_fatal(const ProgramResult& r, int status, int priority,
                           const std::string& start) {
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, status);
    EXPECT_TRUE(logged_start(r.log, priority, start)) << "no log line starting " << start;
    EXPECT_EQ(r.err.rfind("orvelt: " + start, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  SlapdServer server_{SlapdOptions().entries(test_directory())};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

// An MTA script that is given the receiver first: its lines may fail one
// receiver's reply; whatever they let through goes to the recording MTA.
std::string receiver_mta(const TempDir& dir, const std::string& lines) {
  const std::string path = dir.write("mta.sh", "#!/bin/sh\nreceiver=$1\nshift\n" + lines + "exec " +
                                                   RecordingMta::program() + " \"$@\"\n");
  EXPECT_EQ(chmod(path.c_str(), 0755), 0);
  return path + " $recepient -f <> $sender";
}

std::string mta_failed_line(const std::string& reason) {
  return "WARN/MAIL MTA failed (" + reason + "): reply to box@host not recorded";
}

// An MTA that did not take one receiver's reply: its claim is withdrawn, the
// other receiver is still answered and recorded, the reason is logged at
// every loglevel and written to standard error, and the run ends with
// failstatus, so that the MTA delivers the message again; that next run
// answers only the receiver whose reply failed.
TEST_F(FaultTest, FailedMtaEndsTheRunWithFailstatusAfterTheOtherReceivers) {
  const std::string away = std::string("[ \"$receiver\" = ") + kReceiver + " ] && ";
  struct Case {
    const char* name;
    std::string lines;  // of the MTA script, before it runs the recording MTA
    const char* reason;
    int loglevel;
  } cases[] = {
      // The script removes itself: the second reply finds no program.
      {"not runnable", "rm -f \"$0\"\n", "not run", 3},
      {"exit 75", away + "{ cat >/dev/null; exit 75; }\n", "exit status 75", 3},
      {"exit 1", away + "{ cat >/dev/null; exit 1; }\n", "exit status 1", 3},
      {"exit 1, loglevel 0", away + "{ cat >/dev/null; exit 1; }\n", "exit status 1", 0},
      {"killed by a signal", away + "{ cat >/dev/null; kill -KILL $$; }\n", "signal 9", 3},
      {"runs too long", away + "{ cat >/dev/null; exec sleep 30; }\n", "timed out", 3},
  };
  // The failing receiver comes second: the one before it is answered.
  const std::string both = std::string(kOtherReceiver) + ", " + kReceiver;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(system(("rm -rf " + blockdir_ + "/*").c_str()), 0);
    const std::string mta_line = receiver_mta(dir_, c.lines);
    const TestConfig failing = config()
                                   .set("loglevel", std::to_string(c.loglevel))
                                   .set("mtatimeout", "1")
                                   .set("mta", mta_line);
    {
      RecordingMta mta;
      const Clock::time_point start = Clock::now();
      const ProgramResult r = run(failing, message(kSender, both));
      EXPECT_LT(seconds_since(start), 10);
      EXPECT_TRUE(r.exited) << "signal " << r.signal;
      EXPECT_EQ(r.exit_status, kFailStatus);
      EXPECT_EQ(r.err, "orvelt: " + mta_failed_line(c.reason) + "\n");
      EXPECT_EQ(
          std::count(r.log.begin(), r.log.end(), LogRecord{LOG_ERR, mta_failed_line(c.reason)}), 1);
      if (c.reason == std::string("not run")) {
        EXPECT_TRUE(logged_start(r.log, LOG_ERR, "CRIT/MAIL execv(3) returned: "));
        EXPECT_FALSE(logged(r.log, LOG_WARNING, "WARN/MAIL MTA did not take the whole reply"));
      }
      ASSERT_EQ(mta.calls().size(), 1u);
      EXPECT_EQ(mta.calls()[0].stdin_text, "Other is away.\n");
      EXPECT_FALSE(recorded(block_file(), kSender));
      EXPECT_TRUE(recorded(block_file(kOtherReceiver), kSender));
      EXPECT_EQ(r.log_events.back(), "close");
    }
    // The MTA delivers the copy again: only the receiver left is answered.
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender, both));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(mta.calls().size(), 1u);
    EXPECT_EQ(mta.calls()[0].stdin_text, "I am away.\n");
    EXPECT_TRUE(recorded(block_file(), kSender));
  }
}

// Every reply the MTA did not take has its own line on standard error, in
// the order of the replies, also when a later fault stops the run.
TEST_F(FaultTest, EveryFailedReplyHasItsLineOnStandardError) {
  const TestConfig failing = config().set(
      "mta", receiver_mta(dir_, "cat >/dev/null\n[ \"$receiver\" = " + std::string(kReceiver) +
                                    " ] && exit 1\nexit 75\n"));
  const std::string both = std::string(kReceiver) + ", " + kOtherReceiver;
  {
    const ProgramResult r = run(failing, message(kSender, both));
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_EQ(r.err, "orvelt: " + mta_failed_line("exit status 1") +
                         "\norvelt: " + mta_failed_line("exit status 75") + "\n");
    EXPECT_TRUE(logged(r.log, LOG_ERR, mta_failed_line("exit status 1")));
    EXPECT_TRUE(logged(r.log, LOG_ERR, mta_failed_line("exit status 75")));
    EXPECT_FALSE(recorded(block_file(), kSender));
    EXPECT_FALSE(recorded(block_file(kOtherReceiver), kSender));
  }
  // The second receiver's block file is no GDBM file: that stop ends the
  // run, after the line of the reply that failed before it.
  FILE* file = fopen(block_file(kOtherReceiver).c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs(std::string(8192, 'x').c_str(), file);
  fclose(file);
  const ProgramResult r = run(failing, message(kSender, both));
  EXPECT_EQ(r.exit_status, kFailStatus);
  EXPECT_EQ(r.err.rfind("orvelt: " + mta_failed_line("exit status 1") + "\norvelt: CRIT/IO " +
                            block_file(kOtherReceiver) + ": ",
                        0),
            0u)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_TRUE(logged(r.log, LOG_ERR, mta_failed_line("exit status 1")));
  EXPECT_FALSE(recorded(block_file(), kSender));
}

// An MTA killed for the time limit takes with it what it started: a
// sendmail that forked must not leave a process behind for every reply.
TEST_F(FaultTest, TimedOutMtaLeavesNoProcessBehind) {
  const ForkingMta forking("cat >/dev/null\nexec sleep 30\n");
  const Clock::time_point start = Clock::now();
  const ProgramResult r =
      run(config().set("mtatimeout", "1").set("mta", forking.program() + " -f <> $sender"),
          message(kSender));
  EXPECT_LT(seconds_since(start), 10);
  EXPECT_EQ(r.exit_status, kFailStatus);
  EXPECT_TRUE(
      logged(r.log, LOG_ERR, "WARN/MAIL MTA failed (timed out): reply to box@host not recorded"));
  ASSERT_GT(forking.child(), 0);
  EXPECT_TRUE(forking.child_ends()) << "the MTA's child " << forking.child() << " still runs";
  EXPECT_FALSE(recorded(block_file(), kSender));
}

// A descriptor that orvelt's own parent left open without close-on-exec is
// not handed on to the MTA.
TEST_F(FaultTest, MtaGetsNoDescriptorOfOrveltsParent) {
  const UniqueFd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const UniqueFd inherited(fcntl(null.get(), F_DUPFD, 5));  // open in orvelt
  ASSERT_TRUE(inherited.valid());
  RecordingMta mta;
  const ProgramResult r = run(config(), message(kSender));
  EXPECT_EQ(r.exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].open_fds, std::vector<int>{});
  EXPECT_TRUE(recorded(block_file(), kSender));
}

// An mtatimeout beyond a day is refused with a warning and the value before
// stays: a hanging MTA is still killed after that one second.
TEST_F(FaultTest, MtaTimeoutAboveADayIsRefused) {
  const std::string mta = dir_.write("mta.sh", "#!/bin/sh\ncat >/dev/null\nexec sleep 30\n");
  ASSERT_EQ(chmod(mta.c_str(), 0755), 0);
  for (const char* seconds : {"86401", "2147483647"}) {
    SCOPED_TRACE(seconds);
    const TestConfig cfg = config()
                               .set("mta", mta + " -f <> $sender")
                               .set("mtatimeout", "1")
                               .add(std::string("mtatimeout ") + seconds + "\n");
    const Clock::time_point start = Clock::now();
    const ProgramResult r = run(cfg, message(kSender));
    EXPECT_LT(seconds_since(start), 10);
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_TRUE(logged(r.log, LOG_WARNING, "WARN/CFG mtatimeout above 86400 ignored"));
    EXPECT_TRUE(
        logged(r.log, LOG_ERR, "WARN/MAIL MTA failed (timed out): reply to box@host not recorded"));
  }
}

// A directory that takes the bind and then never answers the search: the
// run stops within the search time limit, nothing is sent or recorded.
TEST_F(FaultTest, DirectorySilentAfterTheBindEndsTheRun) {
  SilentDirectory silent;
  RecordingMta mta;
  const Clock::time_point start = Clock::now();
  const ProgramResult r =
      run(config().set("port", std::to_string(silent.port())), message(kSender));
  EXPECT_LT(seconds_since(start), 20);
  EXPECT_EQ(silent.binds_answered(), 1);
  expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/LDAP ");
  EXPECT_TRUE(mta.calls().empty());
  EXPECT_FALSE(recorded(block_file(), kSender));
}

TEST_F(FaultTest, DirectoryDownEndsTheRunWithFailstatus) {
  RecordingMta mta;
  const ProgramResult r =
      run(config().set("port", std::to_string(closed_port())), message(kSender));
  expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/LDAP Can't contact LDAP server");
  EXPECT_EQ(r.err, "orvelt: CRIT/LDAP Can't contact LDAP server\n");
  EXPECT_TRUE(mta.calls().empty());
}

// A configuration file that cannot be read stops the run before any of it
// counts: the build's default status (failstatus is not known yet).
TEST_F(FaultTest, UnreadableConfigurationEndsTheRun) {
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {{dir_.path(), "Is a directory"},
               {dir_.file("missing.cfg"), "No such file or directory"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ProgramRun run;
    run.args = {"-c", c.path};
    run.stdin_text = message(kSender);
    const ProgramResult r = run_program(run);
    const std::string line = "CRIT/IO " + c.path + ": " + c.reason;
    expect_fatal(r, kDefaultFatalStatus, LOG_ERR, line);
    EXPECT_TRUE(logged(r.log, LOG_ERR, line));
    EXPECT_EQ(r.err, "orvelt: " + line + "\n");
  }
}

// A line longer than the line buffer is dropped whole: its tail does not
// become a directive, and the line after it still counts.
TEST_F(FaultTest, OverlongConfigurationLineIsDroppedWhole) {
  for (size_t comment_size : {2099u, 2100u, 2985u}) {
    SCOPED_TRACE(comment_size);
    ASSERT_EQ(system(("rm -rf " + blockdir_ + "/*").c_str()), 0);
    RecordingMta mta;
    // blockexpire 0 after the long line: nothing is recorded when it is read.
    const TestConfig cfg =
        config().add("#" + std::string(comment_size - 1, '#') + "server 10.0.0.1\nblockexpire 0\n");
    const ProgramResult r = run(cfg, message(kSender));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(logged(r.log, LOG_WARNING, "WARN/CFG line too long"));
    EXPECT_EQ(mta.calls().size(), 1u);
    EXPECT_FALSE(recorded(block_file(), kSender));
  }
  // The longest line that fits is no warning.
  RecordingMta mta;
  const ProgramResult r = run(config().add(std::string(2098, '#') + "\n"), message(kSender));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(logged(r.log, LOG_WARNING, "WARN/CFG line too long"));
  EXPECT_EQ(mta.calls().size(), 1u);
}

// With standard input closed, the first file the program opens must not
// become its input: the run reads nothing and ends as for an empty message.
TEST_F(FaultTest, ClosedStandardInputReadsAsEmptyMessage) {
  write_gdbm_keys(dir_.file("badheaders.db"), {"precedence: bulk", "from: box@host"});
  const std::string cfg = config().set("badheaders", dir_.file("badheaders.db")).write(dir_);
  RecordingMta mta;
  ProgramRun empty;
  empty.args = {"-c", cfg};
  const ProgramResult expected = run_program(empty);

  ProgramRun closed = empty;
  closed.close_stdin = true;
  const Clock::time_point start = Clock::now();
  const ProgramResult r = run_program(closed);
  EXPECT_LT(seconds_since(start), 10);
  EXPECT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.exit_status, expected.exit_status);
  EXPECT_EQ(mail_code(r.log), mail_code(expected.log));
  EXPECT_NE(mail_code(r.log), -1);
  EXPECT_EQ(r.err, expected.err);
  EXPECT_TRUE(mta.calls().empty());
}

// Processes started at once for the same sender and receiver send one reply.
TEST_F(FaultTest, ConcurrentRunsSendOneReply) {
  constexpr int kProcesses = 8;
  RecordingMta mta;
  const std::string cfg = config().write(dir_);
  std::vector<ProgramResult> results(kProcesses);
  std::vector<std::thread> runs;
  for (int i = 0; i < kProcesses; ++i) {
    runs.emplace_back([&, i] {
      ProgramRun run;
      run.args = {"-c", cfg};
      run.stdin_text = message(kSender);
      results[static_cast<size_t>(i)] = run_program(run);
    });
  }
  for (std::thread& t : runs) t.join();
  // A run that met the answering run's claim before it was confirmed is
  // tried again later; the others find the reply recorded.
  for (const ProgramResult& r : results) {
    EXPECT_TRUE(r.exited);
    if (r.exit_status == kFailStatus) {
      EXPECT_EQ(r.err,
                "orvelt: WARN/MAIL reply to box@host for away@site pending in another run\n");
    } else {
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_EQ(mta.calls().size(), 1u);
  const auto records = read_gdbm(block_file());
  EXPECT_EQ(records.size(), 1u);
  EXPECT_TRUE(recorded(block_file(), kSender));
}

// A block file that is no GDBM file any more is not taken for an empty one.
TEST_F(FaultTest, DamagedBlockFileEndsTheRunBeforeAnyReply) {
  struct Case {
    const char* name;
    void (*damage)(const std::string& path);
  } cases[] = {
      {"garbage",
       [](const std::string& path) {
         std::string garbage;
         for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) & 0xff));
         FILE* file = fopen(path.c_str(), "w");
         fwrite(garbage.data(), 1, garbage.size(), file);
         fclose(file);
       }},
      {"truncated",
       [](const std::string& path) {
         for (int i = 0; i < 200; ++i) {
           store_gdbm_record(path, "s" + std::to_string(i) + "@host" + std::string(1, '\0'),
                             block_time(1));
         }
         struct stat status {};
         stat(path.c_str(), &status);
         ASSERT_EQ(truncate(path.c_str(), status.st_size / 2), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(block_file().c_str());
    c.damage(block_file());
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender));
    expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/IO " + block_file() + ": ");
    EXPECT_TRUE(mta.calls().empty());
  }
}

// A mount made for one test, undone when it goes.
class Mount {
 public:
  // Runs the mount commands; ok() tells whether all of them worked.
  explicit Mount(const std::string& target, const std::vector<std::string>& commands)
      : target_(target) {
    for (const std::string& command : commands) {
      if (system((command + " 2>/dev/null").c_str()) != 0) {
        ok_ = false;
        break;
      }
      mounted_ = true;
    }
  }
  ~Mount() {
    if (mounted_) (void)!system(("umount " + target_).c_str());
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string target_;
  bool ok_ = true;
  bool mounted_ = false;
};

// The checks after a run whose record could not be stored: no reply, a
// fatal stop; and a sender recorded before is still blocked (no storm of
// replies because the record store is in trouble).
class UnwritableBlockTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "mounts need root";
  }

  void expect_earlier_sender_still_blocked() {
    RecordingMta mta;
    const ProgramResult r = run(config(), message("early@host"));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_TRUE(logged(r.log, LOG_DEBUG, "DEBUG/MAIL blocked: early@host & away@site"));
  }

  void record_earlier_sender() {
    store_gdbm_record(block_file(), std::string("early@host") + '\0', block_time(time(nullptr)));
  }
};

TEST_F(UnwritableBlockTest, ReadOnlyBlockDirectory) {
  record_earlier_sender();
  const Mount mount(blockdir_, {"mount --bind " + blockdir_ + " " + blockdir_,
                                "mount -o remount,bind,ro " + blockdir_ + " " + blockdir_});
  if (!mount.ok()) GTEST_SKIP() << "read-only bind mount failed";
  {
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender));
    expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/IO " + block_file() + ": ");
    EXPECT_TRUE(mta.calls().empty());
  }
  // A receiver without a block file yet: it cannot be made either.
  {
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender, kOtherReceiver));
    expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/IO " + block_file(kOtherReceiver) + ": ");
    EXPECT_TRUE(mta.calls().empty());
  }
  expect_earlier_sender_still_blocked();
  EXPECT_FALSE(recorded(block_file(), kSender));
}

TEST_F(UnwritableBlockTest, FullFileSystem) {
  const Mount mount(blockdir_, {"mount -t tmpfs -o size=256k,mode=0700 tmpfs " + blockdir_});
  if (!mount.ok()) GTEST_SKIP() << "tmpfs mount failed";
  // The receiver's block file with many records, then a filler file that
  // takes every block left.
  record_earlier_sender();
  for (int i = 0; i < 500; ++i) {
    store_gdbm_record(block_file(), "s" + std::to_string(i) + "@host" + std::string(1, '\0'),
                      block_time(time(nullptr)));
  }
  {
    const UniqueFd filler(open((blockdir_ + "/filler").c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string block(4096, 'f');
    while (write(filler.get(), block.data(), block.size()) > 0) {
    }
    const std::string byte(1, 'f');
    while (write(filler.get(), byte.data(), 1) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  // A receiver whose block file must be made from nothing: no room at all.
  {
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender, kOtherReceiver));
    expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/IO " + block_file(kOtherReceiver) + ": ");
    EXPECT_TRUE(mta.calls().empty());
  }
  // The receiver with a file: a new sender may fit in its free space or not;
  // either way a reply goes out only with its record.
  {
    RecordingMta mta;
    const ProgramResult r = run(config(), message(kSender));
    if (mta.calls().empty()) {
      expect_fatal(r, kFailStatus, LOG_ERR, "CRIT/IO " + block_file() + ": ");
    } else {
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_TRUE(recorded(block_file(), kSender));
    }
  }
  expect_earlier_sender_still_blocked();
}

}  // namespace
