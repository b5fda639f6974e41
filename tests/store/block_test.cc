#include "store/block.h"

#include <sys/stat.h>
#include <syslog.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "config/config.h"
#include "store/store.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace {

using testing::AllOf;
using testing::HasSubstr;
using testing::Not;

const std::string kSenderKey("box@host", 9);  // with its NUL byte

std::string time_bytes(int64_t t) {
  std::string bytes(sizeof t, '\0');
  memcpy(bytes.data(), &t, sizeof t);
  return bytes;
}

int64_t stored_time(const std::string& bytes) {
  int64_t t = 0;
  if (bytes.size() == sizeof t) memcpy(&t, bytes.data(), sizeof t);
  return t;
}

// In a death test's child: every pause is written to stderr, numbered.
int pause_count = 0;
void print_pause(unsigned seconds) { fprintf(stderr, "pause #%d (%us)\n", ++pause_count, seconds); }

// Every file and directory under root, as paths relative to it.
std::set<std::string> tree(const std::string& root) {
  std::set<std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    entries.insert(std::filesystem::relative(e.path(), root).string());
  }
  return entries;
}

class Block : public testing::Test {
 protected:
  void SetUp() override {
    config_set_defaults();
    std::filesystem::create_directory(blockfiles);
    g_config.blockfiles = blockfiles;
    pause_count = 0;
    store_set_pause(print_pause);
  }
  void TearDown() override { store_set_pause(nullptr); }

  // block_check with a record for box@host stored at now + offset; tried
  // again until the clock did not move during the check.
  bool check_with_record_at(int64_t offset) {
    for (;;) {
      const int64_t before = time(nullptr);
      store_gdbm_record(receiver_file, kSenderKey, time_bytes(before + offset));
      const bool allowed = block_check("box@host", "local@site");
      if (time(nullptr) == before) return allowed;
    }
  }

  TempDir dir;
  const std::string blockfiles = dir.file("block");
  const std::string receiver_file = blockfiles + "/local@site";
};

TEST_F(Block, ExpireZeroTouchesNoFile) {
  g_config.blockexpire = 0;
  g_config.blockfiles = dir.file("missing");  // any access would be fatal
  EXPECT_TRUE(block_check("box@host", "local@site"));
  block_record("box@host", "local@site");
  EXPECT_TRUE(block_check("box@host", "local@site"));
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
  EXPECT_EQ(pause_count, 0);
}

TEST_F(Block, FirstReplyCreatesTheFileAndTheRecordBlocksTheNext) {
  const mode_t saved = umask(022);
  g_config.umask = 0640;
  EXPECT_TRUE(block_check("box@host", "local@site"));
  umask(saved);
  struct stat st;
  ASSERT_EQ(stat(receiver_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(read_gdbm(receiver_file).empty());

  const int64_t before = time(nullptr);
  block_record("box@host", "local@site");
  const int64_t after = time(nullptr);
  const auto records = read_gdbm(receiver_file);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_EQ(records.count(kSenderKey), 1u);
  ASSERT_EQ(records.at(kSenderKey).size(), 8u);
  EXPECT_GE(stored_time(records.at(kSenderKey)), before);
  EXPECT_LE(stored_time(records.at(kSenderKey)), after);

  EXPECT_FALSE(block_check("box@host", "local@site"));
  EXPECT_TRUE(block_check("other@host", "local@site"));
  EXPECT_TRUE(block_check("box@host", "other@site"));
  EXPECT_EQ(pause_count, 0);
}

TEST_F(Block, ExpiryIsStrictlyMoreThanBlockexpireHours) {
  const struct Case {
    int blockexpire;
    int64_t offset;  // stored time relative to now
    bool allowed;
  } cases[] = {
      {48, 0, false},
      {48, -48 * 3600, false},
      {48, -48 * 3600 - 1, true},
      {48, 3600, false},  // clock set back: blocked until the stored time is old enough
      {1, -3601, true},
      // Far beyond what int arithmetic would hold.
      {INT_MAX, -int64_t{INT_MAX} * 3600, false},
      {INT_MAX, -int64_t{INT_MAX} * 3600 - 1, true},
  };
  for (const Case& c : cases) {
    g_config.blockexpire = c.blockexpire;
    EXPECT_EQ(check_with_record_at(c.offset), c.allowed) << c.blockexpire << " " << c.offset;
  }
  // Corrupt times at the ends of the range.
  g_config.blockexpire = 48;
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(INT64_MIN));
  EXPECT_TRUE(block_check("box@host", "local@site"));
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(INT64_MAX));
  EXPECT_FALSE(block_check("box@host", "local@site"));
}

TEST_F(Block, UnusableRecordsCountAsNone) {
  store_gdbm_record(receiver_file, kSenderKey, "1234");  // shorter than a time
  store_gdbm_record(receiver_file, "late@host", time_bytes(time(nullptr)));  // no NUL byte
  EXPECT_TRUE(block_check("box@host", "local@site"));
  EXPECT_TRUE(block_check("late@host", "local@site"));
  block_record("box@host", "local@site");
  EXPECT_FALSE(block_check("box@host", "local@site"));
}

TEST_F(Block, TrailingSlashInBlockfilesIsNotDoubled) {
  g_config.blockfiles = "/var/block";
  EXPECT_EQ(block_file_path("a@b"), "/var/block/a@b");
  g_config.blockfiles = "/var/block/";
  EXPECT_EQ(block_file_path("a@b"), "/var/block/a@b");

  g_config.blockfiles = blockfiles + "/";
  EXPECT_TRUE(block_check("box@host", "local@site"));
  block_record("box@host", "local@site");
  g_config.blockfiles = blockfiles;
  EXPECT_FALSE(block_check("box@host", "local@site"));
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"block", "block/local@site"}));
}

TEST_F(Block, RefusesReceiversWhoseFileWouldLeaveBlockfiles) {
  LogCapture capture;
  // A name beyond NAME_MAX fails every open with ENAMETOOLONG: without the
  // refusal that ended the run with "CRIT/IO" and status 1. Blanks at
  // either end are ignored by the directory's match, so each spelling would
  // have made a block file of its own, and a reply of its own.
  const std::string receivers[] = {"../escape", "a/b", "/abs", ".", "..", "",
                                   std::string("..\0x", 4), "x/\n",
                                   "local@site" + std::string(NAME_MAX, 'x'),
                                   "local@site ", " local@site"};
  for (const std::string& receiver : receivers) {
    capture.clear();
    EXPECT_FALSE(block_file_path(receiver)) << receiver;
    EXPECT_FALSE(block_check("box@host", receiver)) << receiver;
    block_record("box@host", receiver);
    const LogRecord refused{LOG_WARNING, "WARN/IO refusing block file for " + log_safe(receiver)};
    EXPECT_EQ(capture.records(), (std::vector<LogRecord>{refused, refused}));
  }
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
  // Dots and blanks inside an address are fine, and so is the longest name
  // a file may have.
  EXPECT_TRUE(block_file_path("..a@b..c"));
  EXPECT_TRUE(block_file_path("a b@c"));
  EXPECT_TRUE(block_file_path(std::string(NAME_MAX, 'x')));
}

TEST_F(Block, MissingBlockfilesDirectoryIsFatalAfterOnePause) {
  g_config.blockfiles = dir.file("missing");
  const std::string path = dir.file("missing") + "/local@site";
  EXPECT_EXIT(
      {
        LogCapture capture;
        block_check("box@host", "local@site");
      },
      testing::ExitedWithCode(1),
      AllOf(HasSubstr("pause #1"), Not(HasSubstr("pause #2")), HasSubstr("4|CRIT/IO " + path + "\n")));
}

TEST_F(Block, RecordWithoutABlockFileIsFatal) {
  EXPECT_EXIT(
      {
        LogCapture capture;
        block_record("box@host", "local@site");
      },
      testing::ExitedWithCode(1),
      AllOf(HasSubstr("pause #1"), Not(HasSubstr("pause #2")),
            HasSubstr("4|CRIT/IO error locking '" + receiver_file + "' for writing\n")));
}

}  // namespace
