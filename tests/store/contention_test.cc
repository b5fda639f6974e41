#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "store/block_record.h"
#include "support/gdbm_file.h"
#include "support/temp_dir.h"

namespace {

// Many processes answering different senders on behalf of one receiver at
// the same moment: GDBM's lock and the open retry must keep every record.
TEST(BlockContention, ConcurrentProcessesKeepEveryRecord) {
  constexpr int kProcesses = 24;
  TempDir dir;
  const std::string blockfiles = dir.file("block");
  std::filesystem::create_directory(blockfiles);

  // All children wait on this pipe and start together when it closes.
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const std::string sender = "sender" + std::to_string(i) + "@host";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) > 0) {
      }
      execl(BLOCK_CONTENDER, BLOCK_CONTENDER, blockfiles.c_str(), sender.c_str(), "local@site",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);

  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  const auto records = read_gdbm(blockfiles + "/local@site");
  EXPECT_EQ(records.size(), static_cast<size_t>(kProcesses));
  for (int i = 0; i < kProcesses; ++i) {
    const std::string key = "sender" + std::to_string(i) + "@host" + std::string(1, '\0');
    ASSERT_EQ(records.count(key), 1u) << key;
    // The claim's pending record: nothing confirmed it.
    const std::optional<BlockRecord> record = gdbm_block_record(records.at(key));
    ASSERT_TRUE(record) << key;
    EXPECT_TRUE(record->lease) << key;
  }
}

}  // namespace
