#include "store/store.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

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
  TempDir dir;
};

TEST_F(StoreOpen, FailuresThatNoRetryCuresTakeNoPause) {
  dir.write("junk", "this is no GDBM file, whatever its name says");
  dir.write("empty", "");
  std::filesystem::create_directory(dir.file("subdir"));
  const struct Case {
    OptionalText path;
    StoreMode mode;
    bool missing;  // StoreError::missing
    bool empty;    // StoreError::empty
  } cases[] = {
      {std::nullopt, StoreMode::kReader, false, false},
      {std::nullopt, StoreMode::kWriterCreate, false, false},
      // stat fails: no attempt at all.
      {dir.file("missing"), StoreMode::kReader, true, false},
      {dir.file("missing"), StoreMode::kWriter, true, false},
      {dir.file("no/such/dir"), StoreMode::kWriterCreate, true, false},
      {dir.file("junk"), StoreMode::kReader, false, false},
      {dir.file("junk"), StoreMode::kWriter, false, false},
      {dir.file("empty"), StoreMode::kReader, false, true},
      {dir.file("subdir"), StoreMode::kWriterCreate, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.value_or("(none)"));
    pauses.clear();
    StoreError error;
    error.locked = true;  // every field is set afresh
    error.empty = !c.empty;
    StoreHandle db = store_open(c.path, c.mode, kMode, &error);
    EXPECT_FALSE(db);
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(error.missing, c.missing);
    EXPECT_EQ(error.empty, c.empty);
    EXPECT_FALSE(error.locked);
    if (c.path) {
      EXPECT_FALSE(error.reason.empty());
    }
  }
  // Nothing was created, and the junk is left as it was.
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
  EXPECT_EQ(read_file(dir.file("junk")), "this is no GDBM file, whatever its name says");
}

TEST_F(StoreOpen, CreatesWithTheGivenModeLessTheProcessUmask) {
  const mode_t saved = umask(022);
  // The mode given counts, not the configured one.
  g_config.create_mode = 0600;
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

TEST_F(StoreOpen, WaitsOutALockThatIsReleasedInShortGrowingPauses) {
  write_gdbm_keys(dir.file("db"), {"k"});
  for (StoreMode mode : {StoreMode::kReader, StoreMode::kWriter, StoreMode::kWriterCreate}) {
    for (size_t release : {1u, 3u, 12u}) {
      SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + ", released after " +
                   std::to_string(release));
      pauses.clear();
      LockHolder holder(dir.file("db"), GDBM_WRITER);
      release_holder = &holder;
      release_after = release;
      StoreError error;
      StoreHandle db = store_open(dir.file("db"), mode, kMode, &error);
      EXPECT_TRUE(db) << error.reason;
      EXPECT_EQ(pauses.size(), release);
      ASSERT_FALSE(pauses.empty());
      EXPECT_GE(pauses.front(), kFirstPauseStep / 2);
      EXPECT_LE(pauses.front(), kFirstPauseStep * 3 / 2);
      expect_pause_steps(pauses);
      EXPECT_TRUE(store_has_key("k", db));
      release_holder = nullptr;
    }
  }
}

TEST_F(StoreOpen, GivesUpAtTheWaitLimitUnderAHeldLock) {
  write_gdbm_keys(dir.file("db"), {"k"});
  {
    LockHolder writer(dir.file("db"), GDBM_WRITER);
    for (StoreMode mode : {StoreMode::kReader, StoreMode::kWriter, StoreMode::kWriterCreate}) {
      SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)));
      pauses.clear();
      StoreError error;
      EXPECT_FALSE(store_open(dir.file("db"), mode, kMode, &error));
      expect_wait_given_up(pauses);
      EXPECT_TRUE(error.locked);
      EXPECT_FALSE(error.missing);
      EXPECT_FALSE(error.reason.empty());
    }
  }
  // Readers share the lock; a writer still has to wait for them.
  LockHolder reader(dir.file("db"), GDBM_READER);
  pauses.clear();
  EXPECT_TRUE(store_open(dir.file("db"), StoreMode::kReader, kMode));
  EXPECT_TRUE(pauses.empty());
  EXPECT_FALSE(store_open(dir.file("db"), StoreMode::kWriter, kMode));
  expect_wait_given_up(pauses);
}

// Processes that meet the same lock at the same moment must not all pause
// for the same time, or they collide again when they wake.
int pause_report_fd = -1;
void report_first_pause_and_exit(unsigned microseconds) {
  if (write(pause_report_fd, &microseconds, sizeof microseconds) != sizeof microseconds) _exit(2);
  _exit(0);
}

TEST_F(StoreOpen, ProcessesMeetingALockPauseDifferently) {
  write_gdbm_keys(dir.file("db"), {"k"});
  LockHolder writer(dir.file("db"), GDBM_WRITER);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      pause_report_fd = report[1];
      store_set_pause(report_first_pause_and_exit);
      store_open(dir.file("db"), StoreMode::kReader, kMode);
      _exit(3);  // no pause at all
    }
    children.push_back(pid);
  }
  close(report[1]);
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::multiset<unsigned> first;
  unsigned microseconds;
  while (read(report[0], &microseconds, sizeof microseconds) == sizeof microseconds) {
    first.insert(microseconds);
  }
  close(report[0]);
  ASSERT_EQ(first.size(), 8u);
  EXPECT_GE(*first.begin(), kFirstPauseStep / 2);
  EXPECT_LE(*first.rbegin(), kFirstPauseStep * 3 / 2);
  // Eight equal draws from a thousand values: next to impossible unless
  // they are coupled.
  EXPECT_NE(first.count(*first.begin()), 8u);
}

// Threads of one process (orveltd's workers) that meet the same lock must
// not pause in step either.
std::mutex first_pauses_lock;
std::map<std::thread::id, unsigned> first_pauses;
void note_first_pause_of_thread(unsigned microseconds) {
  {
    const std::lock_guard<std::mutex> hold(first_pauses_lock);
    if (first_pauses.emplace(std::this_thread::get_id(), microseconds).second) return;
  }
  usleep(1000);  // later pauses of the wait: short, not busy
}

TEST_F(StoreOpen, ThreadsMeetingALockPauseDifferently) {
  constexpr size_t kThreads = 8;
  write_gdbm_keys(dir.file("db"), {"k"});
  LockHolder writer(dir.file("db"), GDBM_WRITER);
  first_pauses.clear();
  store_set_pause(note_first_pause_of_thread);
  std::vector<std::thread> threads;
  std::atomic<size_t> opened{0};
  for (size_t i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      if (store_open(dir.file("db"), StoreMode::kReader, kMode)) ++opened;
    });
  }
  for (int waited = 0; waited < 5000; ++waited) {
    {
      const std::lock_guard<std::mutex> hold(first_pauses_lock);
      if (first_pauses.size() == kThreads) break;
    }
    usleep(1000);
  }
  writer.release();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(opened, kThreads);
  std::map<unsigned, size_t> times_drawn;
  for (const auto& [thread, microseconds] : first_pauses) {
    EXPECT_GE(microseconds, kFirstPauseStep / 2);
    EXPECT_LE(microseconds, kFirstPauseStep * 3 / 2);
    ++times_drawn[microseconds];
  }
  ASSERT_EQ(first_pauses.size(), kThreads);
  // Eight draws from a thousand values: two may meet by chance, hardly
  // three.
  for (const auto& [microseconds, times] : times_drawn) {
    EXPECT_LE(times, 2u) << microseconds << " us drawn by " << times << " threads";
  }
}

// Processes creating the same missing file at the same moment: one file
// under the name, every process's record in it, no temporary left.
TEST(StoreCreate, ConcurrentCreatorsShareOneWholeFile) {
  constexpr int kCreators = 4;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir dir;
    const std::string path = dir.file("local@site");
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kCreators; ++i) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(gate[1]);
        char c;
        while (read(gate[0], &c, 1) > 0) {
        }
        StoreHandle db = store_open(path, StoreMode::kWriterCreate, kMode);
        const std::string key = "sender" + std::to_string(i);
        const int stored =
            db ? gdbm_store(db.get(), datum{const_cast<char*>(key.data()), int(key.size())},
                            datum{const_cast<char*>("1"), 1}, GDBM_INSERT)
               : -1;
        _exit(stored == 0 && store_close_written(db) ? 0 : 1);
      }
      children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : children) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(read_gdbm(path).size(), static_cast<size_t>(kCreators));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"local@site"});
  }
}

TEST(StoreCreate, TemporaryNamesAreNoReceiversNames) {
  EXPECT_TRUE(is_store_temporary_name(".new;123;00ff"));
  EXPECT_TRUE(is_store_temporary_name(".new;"));
  EXPECT_FALSE(is_store_temporary_name(".new"));
  EXPECT_FALSE(is_store_temporary_name("new;1;2"));
  EXPECT_FALSE(is_store_temporary_name("a.new;1;2"));
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
