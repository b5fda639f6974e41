// A run stopped while a reply is claimed but not yet settled: by SIGTERM,
// SIGINT or SIGHUP, which orvelt waits out, and by SIGKILL, which it cannot.
// Whatever stops it, the sender's reply is never lost: a stopped MTA has
// its claim withdrawn, one that took the reply has it confirmed, and the
// pending record a killed run leaves holds the sender back only until its
// lease ends. The stand-in MTAs here signal orvelt themselves ($PPID), so
// that each signal comes at a known point.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReceiver = "away@site";
constexpr const char* kSender = "box@host";
constexpr int kFailStatus = 75;
constexpr int kMtaTimeout = 20;

std::string message() {
  return std::string("From: ") + kSender + "\nTo: " + kReceiver + "\nSubject: Lunch?\n\nFree?\n";
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether the process pid is gone (not even a zombie).
bool gone(pid_t pid) {
  for (int i = 0; i < 50; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string fields;
    if (!stat || !std::getline(stat, fields)) return true;
    if (fields.find(") Z ") != std::string::npos) return true;  // an orphan awaiting its reaper
    usleep(100'000);
  }
  return false;
}

pid_t pid_in(const std::string& path) {
  std::ifstream in(path);
  pid_t pid = 0;
  in >> pid;
  return pid;
}

class StopSignalTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir_.c_str(), 0700), 0); }

  TestConfig config() const {
    return TestConfig(server_, blockdir_)
        .set("failstatus", std::to_string(kFailStatus))
        .set("mtatimeout", std::to_string(kMtaTimeout));
  }

  // The configuration with a stand-in MTA that runs lines, in which
  // $record stands for the recording MTA with orvelt's arguments.
  TestConfig with_mta(const std::string& lines) {
    const std::string path =
        dir_.write("mta.sh", "#!/bin/sh\nrecord=\"" + RecordingMta::program() + " $*\"\n" + lines);
    EXPECT_EQ(chmod(path.c_str(), 0755), 0);
    return config().set("mta", path + " -f <> $sender");
  }

  ProgramResult run(const TestConfig& config) {
    ProgramRun run;
    run.args = {"-c", config.write(dir_)};
    run.stdin_text = message();
    return run_program(run);
  }

  // The sender's value in the receiver's block file; empty when none.
  std::string record() const {
    try {
      const auto records = read_gdbm(blockdir_ + "/" + kReceiver);
      const auto found = records.find(kSender + std::string(1, '\0'));
      return found == records.end() ? std::string() : found->second;
    } catch (const std::exception&) {
      return "";
    }
  }

  // Dates the sender's pending record back past its lease, as if the run
  // that wrote it had been killed that long ago.
  void let_the_lease_run_out() {
    std::string value = record();
    ASSERT_GE(value.size(), sizeof(int64_t));
    const int64_t then = time(nullptr) - (kMtaTimeout + 60) - 2;
    memcpy(value.data(), &then, sizeof then);
    store_gdbm_record(blockdir_ + "/" + kReceiver, kSender + std::string(1, '\0'), value);
  }

  SlapdServer server_{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("away", kReceiver, "TRUE", {"I am away.\n"}))};
  TempDir dir_;
  std::string blockdir_ = dir_.file("block");
};

// Stopped while the MTA runs: orvelt kills the MTA's whole group at once
// (not after mtatimeout), withdraws the claim and ends with failstatus; the
// next delivery of the message answers.
TEST_F(StopSignalTest, StopWhileTheMtaRunsKillsItAndWithdrawsTheClaim) {
  const struct {
    const char* name;
    const char* text;
  } signals[] = {
      {"TERM", "stopped by SIGTERM"}, {"INT", "stopped by SIGINT"}, {"HUP", "stopped by SIGHUP"}};
  for (const auto& s : signals) {
    SCOPED_TRACE(s.name);
    const std::string sleeper = dir_.file("sleeper.pid");
    unlink(sleeper.c_str());
    unlink((blockdir_ + "/" + kReceiver).c_str());
    {
      RecordingMta mta;
      const Clock::time_point start = Clock::now();
      const ProgramResult r = run(with_mta("cat >/dev/null\nsleep 30 &\necho $! >" + sleeper +
                                           "\nkill -" + s.name + " $PPID\nwait\n$record\n"));
      EXPECT_LT(seconds_since(start), 10);
      EXPECT_TRUE(r.exited) << "signal " << r.signal;
      EXPECT_EQ(r.exit_status, kFailStatus);
      EXPECT_TRUE(logged(r.log, LOG_ERR, std::string("CRIT/SYS ") + s.text));
      EXPECT_EQ(r.err, std::string("orvelt: CRIT/SYS ") + s.text + "\n");
      EXPECT_FALSE(logged_start(r.log, LOG_ERR, "WARN/MAIL MTA failed"));
      EXPECT_TRUE(mta.calls().empty());
      EXPECT_EQ(record(), "") << "the claim was not withdrawn";
      const pid_t child = pid_in(sleeper);
      ASSERT_GT(child, 0);
      EXPECT_TRUE(gone(child)) << "the MTA's child " << child << " still runs";
    }
    RecordingMta mta;
    const ProgramResult again = run(config());
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(mta.calls().size(), 1u);
  }
}

// Stopped after the MTA took the reply (it exited 0 while orvelt was held
// with SIGSTOP and the SIGTERM waited): the claim is confirmed, the run
// still ends with failstatus, and the next delivery sends nothing more.
TEST_F(StopSignalTest, StopAfterTheMtaTookTheReplyConfirmsIt) {
  {
    RecordingMta mta;
    const ProgramResult r =
        run(with_mta("input=$(cat)\nkill -STOP $PPID\nkill -TERM $PPID\n"
                     "(sleep 0.5; kill -CONT $PPID) &\nprintf '%s\\n' \"$input\" | $record\n"));
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, kFailStatus);
    EXPECT_TRUE(logged(r.log, LOG_ERR, "CRIT/SYS stopped by SIGTERM"));
    EXPECT_EQ(mta.calls().size(), 1u);
    const std::string held = record();
    ASSERT_NE(held, "");
    EXPECT_EQ(held.find(" l="), std::string::npos) << "still pending";
  }
  RecordingMta mta;
  const ProgramResult again = run(config());
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_TRUE(mta.calls().empty());
}

// Killed (SIGKILL, with its MTA) between the claim and the hand-off: the
// pending record makes the next delivery end with failstatus, for that
// reply may still be on its way; once the lease has run out the next
// delivery answers. One reply in all.
TEST_F(StopSignalTest, KilledBetweenClaimAndHandOffCostsARetryNotTheReply) {
  {
    RecordingMta mta;
    const ProgramResult r = run(with_mta("kill -KILL $PPID\nkill -KILL 0\n"));
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_TRUE(mta.calls().empty());
  }
  const std::string pending = record();
  ASSERT_NE(pending, "");
  EXPECT_NE(pending.find(" l=" + std::to_string(kMtaTimeout + 60)), std::string::npos) << pending;
  {
    RecordingMta mta;
    const ProgramResult r = run(config());
    EXPECT_EQ(r.exit_status, kFailStatus);
    const std::string line = std::string("WARN/MAIL reply to ") + kSender + " for " + kReceiver +
                             " pending in another run";
    EXPECT_TRUE(logged(r.log, LOG_ERR, line));
    EXPECT_EQ(r.err, "orvelt: " + line + "\n");
    EXPECT_TRUE(mta.calls().empty());
    EXPECT_EQ(record(), pending);
  }
  let_the_lease_run_out();
  RecordingMta mta;
  const ProgramResult r = run(config());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(record().find(" l="), std::string::npos) << "not confirmed";
}

}  // namespace
