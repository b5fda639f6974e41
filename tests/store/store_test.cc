#include "store/store.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "config/config.h"
#include "support/gdbm_file.h"
#include "support/lock_holder.h"
#include "support/pause_recorder.h"
#include "support/temp_dir.h"
#include "util/unique_fd.h"

namespace {

// The creation mode where a test does not look at it.
constexpr int kMode = 0600;


class StoreOpen : public PauseRecordingTest {
 protected:

  void expect_pauses_in_range() {
    for (unsigned s : pauses) {
      EXPECT_GE(s, 1u);
      EXPECT_LE(s, 10u);
    }
  }

  TempDir dir;
};

TEST_F(StoreOpen, FailuresThatNoRetryCures) {
  dir.write("junk", "this is no GDBM file, whatever its name says");
  dir.write("empty", "");
  const struct Case {
    OptionalText path;
    StoreMode mode;
    size_t pauses;
  } cases[] = {
      {std::nullopt, StoreMode::kReader, 0},
      {std::nullopt, StoreMode::kWriterCreate, 0},
      // stat fails: no attempt at all.
      {dir.file("missing"), StoreMode::kReader, 0},
      {dir.file("missing"), StoreMode::kWriter, 1},
      {dir.file("no/such/dir"), StoreMode::kWriterCreate, 1},
      {dir.file("junk"), StoreMode::kReader, 1},
      {dir.file("empty"), StoreMode::kReader, 1},
  };
  for (const Case& c : cases) {
    pauses.clear();
    StoreHandle db = store_open(c.path, c.mode, kMode);
    EXPECT_FALSE(db) << c.path.value_or("(none)");
    EXPECT_EQ(pauses.size(), c.pauses) << c.path.value_or("(none)");
    expect_pauses_in_range();
  }
}

TEST_F(StoreOpen, CreatesWithTheGivenModeLessTheProcessUmask) {
  const mode_t saved = umask(022);
  // The mode given counts, not the configured one.
  g_config.umask = 0600;
  StoreHandle db = store_open(dir.file("a"), StoreMode::kWriterCreate, 0640);
  StoreHandle other = store_open(dir.file("b"), StoreMode::kWriterCreate, 0666);
  umask(saved);
  ASSERT_TRUE(db);
  ASSERT_TRUE(other);
  struct stat st;
  ASSERT_EQ(stat(dir.file("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(dir.file("b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  store_close(db);
  EXPECT_FALSE(db);
  store_close(db);  // closing nothing does nothing
  EXPECT_TRUE(store_open(dir.file("a"), StoreMode::kReader, kMode));
  EXPECT_TRUE(pauses.empty());
}

TEST_F(StoreOpen, WaitsOutALockThatIsReleased) {
  write_gdbm_keys(dir.file("db"), {"k"});
  for (StoreMode mode : {StoreMode::kReader, StoreMode::kWriter, StoreMode::kWriterCreate}) {
    pauses.clear();
    LockHolder holder(dir.file("db"), GDBM_WRITER);
    release_holder = &holder;
    release_after = 3;
    StoreHandle db = store_open(dir.file("db"), mode, kMode);
    EXPECT_TRUE(db);
    EXPECT_EQ(pauses.size(), 3u);
    expect_pauses_in_range();
    EXPECT_TRUE(store_has_key("k", db));
    release_holder = nullptr;
  }
}

TEST_F(StoreOpen, GivesUpAfterElevenAttemptsUnderAHeldLock) {
  write_gdbm_keys(dir.file("db"), {"k"});
  {
    LockHolder writer(dir.file("db"), GDBM_WRITER);
    for (StoreMode mode : {StoreMode::kReader, StoreMode::kWriter}) {
      pauses.clear();
      EXPECT_FALSE(store_open(dir.file("db"), mode, kMode));
      EXPECT_EQ(pauses.size(), 11u);
      expect_pauses_in_range();
    }
  }
  // Readers share the lock; a writer still has to wait for them.
  LockHolder reader(dir.file("db"), GDBM_READER);
  pauses.clear();
  EXPECT_TRUE(store_open(dir.file("db"), StoreMode::kReader, kMode));
  EXPECT_TRUE(pauses.empty());
  EXPECT_FALSE(store_open(dir.file("db"), StoreMode::kWriter, kMode));
  EXPECT_EQ(pauses.size(), 11u);
}

// Processes that fail at the same moment must not all pause for the same
// time, or they collide again when they wake.
int pause_report_fd = -1;
void report_pause(unsigned seconds) {
  const auto byte = static_cast<unsigned char>(seconds);
  if (write(pause_report_fd, &byte, 1) != 1) _exit(2);
}

TEST_F(StoreOpen, ProcessesFailingTogetherPauseDifferently) {
  dir.write("junk", "no GDBM file");
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      pause_report_fd = report[1];
      store_set_pause(report_pause);
      store_open(dir.file("junk"), StoreMode::kReader, kMode);
      _exit(0);
    }
    children.push_back(pid);
  }
  close(report[1]);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  std::multiset<int> seconds;
  unsigned char byte;
  while (read(report[0], &byte, 1) == 1) seconds.insert(byte);
  close(report[0]);
  ASSERT_EQ(seconds.size(), 8u);
  EXPECT_GE(*seconds.begin(), 1);
  EXPECT_LE(*seconds.rbegin(), 10);
  // Eight equal draws from ten values: 1 in 10^7 unless they are coupled.
  EXPECT_NE(seconds.count(*seconds.begin()), 8u);
}

TEST(StoreHasKey, KeysIncludeTheirNulByte) {
  TempDir dir;
  write_gdbm_keys(dir.file("with"), {"X-Spam: yes", "box@host"});
  write_gdbm_keys(dir.file("without"), {"X-Spam: yes", "box@host"}, false);
  StoreHandle with = store_open(dir.file("with"), StoreMode::kReader, kMode);
  StoreHandle without = store_open(dir.file("without"), StoreMode::kReader, kMode);
  ASSERT_TRUE(with);
  ASSERT_TRUE(without);
  const StoreHandle none;

  EXPECT_TRUE(store_has_key("X-Spam: yes", with));
  EXPECT_TRUE(store_has_key(std::string("box@host"), with));
  EXPECT_FALSE(store_has_key("x-spam: yes", with));
  EXPECT_FALSE(store_has_key("X-Spam: yes ", with));
  EXPECT_FALSE(store_has_key("box@hos", with));
  EXPECT_FALSE(store_has_key(std::nullopt, with));
  EXPECT_FALSE(store_has_key("box@host", none));
  EXPECT_FALSE(store_has_key("box@host", without));
  EXPECT_FALSE(store_has_key("X-Spam: yes", without));
}

}  // namespace
