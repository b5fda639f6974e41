// The recording MTA stand-in itself: later tests trust what it records.
#include "support/recording_mta.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "support/run_program.h"
#include "support/temp_dir.h"
#include "util/unique_fd.h"

namespace {

TEST(RecordingMta, RecordsArgumentsInputAndStatus) {
  RecordingMta mta({.exit_status = 3});
  ProgramRun run;
  run.program = RecordingMta::program();
  run.args = {"-f", "", "a b\nc"};
  run.stdin_text = std::string("line one\n\0binary\xFF", 18);
  run.env = mta.env();
  const ProgramResult result = run_program(run);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_status, 3);
  const std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{RecordingMta::program(), "-f", "", "a b\nc"}));
  EXPECT_EQ(calls[0].stdin_text, run.stdin_text);
  EXPECT_EQ(calls[0].sigpipe, "default");
}

TEST(RecordingMta, NoReadLeavesInputUnread) {
  RecordingMta mta({.read_input = false});
  ProgramRun run;
  run.program = RecordingMta::program();
  run.stdin_text = "unread";
  run.env = mta.env();
  const ProgramResult result = run_program(run);
  EXPECT_EQ(result.exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  EXPECT_EQ(mta.calls()[0].stdin_text, "");
}

// The descriptors open at its start are listed, the ones closed on exec
// not: tests rely on this to see what orvelt lets through to its MTA.
TEST(RecordingMta, RecordsDescriptorsOpenAtStart) {
  const UniqueFd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const UniqueFd kept(fcntl(null.get(), F_DUPFD, 40));
  const UniqueFd closed_on_exec(fcntl(null.get(), F_DUPFD_CLOEXEC, 50));
  ASSERT_TRUE(kept.valid() && closed_on_exec.valid());
  RecordingMta mta;
  ProgramRun run;
  run.program = RecordingMta::program();
  run.env = mta.env();
  EXPECT_EQ(run_program(run).exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);
  const std::vector<int> fds = mta.calls()[0].open_fds;
  EXPECT_NE(std::find(fds.begin(), fds.end(), kept.get()), fds.end());
  EXPECT_EQ(std::find(fds.begin(), fds.end(), closed_on_exec.get()), fds.end());
  EXPECT_TRUE(std::is_sorted(fds.begin(), fds.end()));
}

// Processes that run at once each claim a call number of their own.
TEST(RecordingMta, ConcurrentCallsGetDistinctNumbers) {
  RecordingMta mta;
  TempDir inputs;
  constexpr int kCalls = 8;
  std::vector<pid_t> pids;
  for (int i = 0; i < kCalls; ++i) {
    const std::string input = inputs.write(std::to_string(i), "input " + std::to_string(i));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int fd = open(input.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) _exit(127);
      const std::string program = RecordingMta::program();
      execl(program.c_str(), program.c_str(), std::to_string(i).c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::vector<MtaCall> calls = mta.calls();
  ASSERT_EQ(calls.size(), static_cast<size_t>(kCalls));
  std::set<std::string> seen;
  for (const MtaCall& call : calls) {
    ASSERT_EQ(call.argv.size(), 2u);
    EXPECT_EQ(call.stdin_text, "input " + call.argv[1]);
    seen.insert(call.argv[1]);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kCalls));
}

}  // namespace
