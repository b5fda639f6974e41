// Block files on a file system that runs full: a small tmpfs mounted for the
// test (root only; skipped otherwise). GDBM grows a file at its end, and a
// store that runs out of space half-way leaves a file that no longer reads
// to its end; a new file cut short leaves a broken header under the
// receiver's name. Neither may happen: the write is refused first.
#include <fcntl.h>
#include <gdbm.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "store/block_file_space.h"
#include "store/block_store_open.h"
#include "store/gdbm_block_store.h"
#include "store/store.h"
#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/program_test.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"
#include "util/unique_fd.h"

// GDBM 1.23 loses one block it allocated when making a new database fails
// for want of space (gdbm_open returns no handle, so nothing can free it).
// Only this program makes such failures on purpose; the leak checker of
// the sanitizer build is told about that one, and only here.
extern "C" const char* __lsan_default_suppressions() { return "leak:gdbm_fd_open\n"; }

namespace {

constexpr const char* kTmpfsSize = "size=512k";

uint64_t free_bytes(const std::string& dir) {
  struct statvfs space;
  if (statvfs(dir.c_str(), &space) != 0) return 0;
  return uint64_t{space.f_bavail} * space.f_frsize;
}

// A tmpfs mounted on a directory for one test, with a filler file that
// takes up the space a test does not want to leave.
class SmallDisk {
 public:
  explicit SmallDisk(const std::string& dir) : dir_(dir), filler_(dir + "/filler") {
    if (geteuid() != 0) return;
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, kTmpfsSize) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }

  // Fills the file system, then gives back a page at a time until at
  // least bytes are free.
  void leave_free(uint64_t bytes) const {
    const UniqueFd fd(open(filler_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    ASSERT_TRUE(fd.valid());
    const std::string page(4096, 'f');
    while (write(fd.get(), page.data(), page.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    off_t size = lseek(fd.get(), 0, SEEK_END);
    while (free_bytes(dir_) < bytes && size > 0) {
      size = std::max<off_t>(0, size - 4096);
      ASSERT_EQ(ftruncate(fd.get(), size), 0);
    }
  }
  void free_all() const { unlink(filler_.c_str()); }

 private:
  std::string dir_;
  std::string filler_;
  bool mounted_ = false;
};

// The names in dir other than the filler.
std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name != "filler") names.push_back(name);
  }
  return names;
}

// Every record of the GDBM file at path, read to its end; false when the
// walk stops on damage.
bool reads_to_the_end(const std::string& path, size_t& count) {
  StoreHandle db = store_open(path, StoreMode::kReader, 0600);
  if (!db) return false;
  std::vector<RawRecord> records;
  std::string error;
  const bool whole = read_records(db, records, error);
  count = records.size();
  return whole;
}

class FullDisk : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    std::filesystem::create_directory(blockdir);
    disk = std::make_unique<SmallDisk>(blockdir);
    if (!disk->mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    config_set_defaults();
    g_config.blockfiles = blockdir;
  }

  TempDir dir;
  std::string blockdir = dir.file("block");
  std::unique_ptr<SmallDisk> disk;
};

TEST_F(FullDisk, ANewFileIsCreatedWholeOrNotAtAll) {
  const std::string path = blockdir + "/local@site";
  for (uint64_t left : {0u, 4096u, 8192u, 12288u, 20480u}) {
    SCOPED_TRACE(left);
    disk->leave_free(left);
    StoreError error;
    EXPECT_FALSE(store_open(path, StoreMode::kWriterCreate, 0600, &error));
    EXPECT_FALSE(error.reason.empty());
    EXPECT_EQ(names_in(blockdir), std::vector<std::string>());
    disk->free_all();
  }
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, 0600);
  ASSERT_TRUE(db);
  EXPECT_EQ(names_in(blockdir), std::vector<std::string>{"local@site"});
}

// The room found for a record is reserved: a disk filled up by someone
// else between the check and the store does not break the file.
TEST_F(FullDisk, ReservedRoomOutlastsADiskFilledMeanwhile) {
  const std::string path = blockdir + "/local@site";
  StoreHandle db = store_open(path, StoreMode::kWriterCreate, 0600);
  ASSERT_TRUE(db);
  size_t stored = 0;
  for (;; ++stored) {
    const std::string key = "sender" + std::to_string(stored) + "@some.host.example";
    const std::string value(20, 'v');
    if (!store_make_room(db.get(), key.size() + value.size()).empty()) break;
    disk->leave_free(0);
    ASSERT_EQ(gdbm_store(db.get(), datum{const_cast<char*>(key.data()), int(key.size())},
                         datum{const_cast<char*>(value.data()), int(value.size())}, GDBM_REPLACE),
              0)
        << "record " << stored << ": " << gdbm_db_strerror(db.get());
    disk->free_all();
  }
  EXPECT_EQ(store_make_room(db.get(), 40), kNoSpaceForStore);
  ASSERT_TRUE(store_close_written(db));
  size_t count = 0;
  EXPECT_TRUE(reads_to_the_end(path, count));
  EXPECT_EQ(count, stored);
  EXPECT_GT(stored, 500u);  // the disk, not the test, ended it
}

// Claims until the disk is too full: the claim that finds no room fails
// with the exact text and writes nothing; every record before it stays
// readable, and once there is room again the claim is granted.
TEST_F(FullDisk, AGrowingBlockFileStaysReadable) {
  const std::unique_ptr<BlockStore> store = block_store_open(g_config);
  const std::string path = blockdir + "/local@site";
  ASSERT_TRUE(store->claim("first@host", "local@site")->granted);
  disk->leave_free(48 * 1024);
  size_t granted = 1;
  Outcome failure;
  for (;; ++granted) {
    const Result<BlockClaim> claim =
        store->claim("sender" + std::to_string(granted) + "@some.host.example", "local@site");
    if (!claim.ok()) {
      failure = claim.failure();
      break;
    }
    ASSERT_TRUE(claim->granted);
  }
  EXPECT_EQ(failure.reason, "CRIT/IO " + path + ": no space left for the block file");
  EXPECT_EQ(failure.priority, LOG_ERR);
  size_t count = 0;
  EXPECT_TRUE(reads_to_the_end(path, count));
  EXPECT_EQ(count, granted);
  disk->free_all();
  const std::string last = "sender" + std::to_string(granted) + "@some.host.example";
  EXPECT_TRUE(store->claim(last, "local@site")->granted);
  EXPECT_TRUE(gdbm_holds(path, last));
}

// The built program on a block directory that runs full.
class FullDiskProgram : public ProgramTest {
 protected:
  FullDiskProgram()
      : ProgramTest(ldif_people_unit() +
                    ldif_person("local", "local@site", "TRUE", {"local is away\n"})) {}
  void SetUp() override {
    ProgramTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    disk = std::make_unique<SmallDisk>(blockdir_);
    if (!disk->mounted()) GTEST_SKIP() << "cannot mount a tmpfs";
  }
  ProgramResult message_from(const std::string& sender) {
    return run("From: " + sender + "\nTo: local@site\nSubject: hi\n\nhello\n", "failstatus 75\n");
  }

  std::unique_ptr<SmallDisk> disk;
};

TEST_F(FullDiskProgram, GrowingFileFailsWholeAndTheRetryAnswers) {
  RecordingMta mta;
  ASSERT_EQ(message_from("first@host").exit_status, 0);
  disk->leave_free(40 * 1024);
  size_t answered = 1;
  ProgramResult r;
  for (;; ++answered) {
    r = message_from("sender" + std::to_string(answered) + "@some.host.example");
    if (r.exit_status != 0) break;
    ASSERT_LT(answered, 5000u);
  }
  const std::string path = block_file("local@site");
  EXPECT_EQ(r.exit_status, 75);
  EXPECT_TRUE(logged(r.log, LOG_ERR, "CRIT/IO " + path + ": no space left for the block file"));
  EXPECT_EQ(mta.calls().size(), answered);
  size_t count = 0;
  EXPECT_TRUE(reads_to_the_end(path, count));
  EXPECT_EQ(count, answered);
  ProgramRun tool;
  tool.program = ORVELT_DB_BINARY;
  tool.args = {"blocks", path};
  const ProgramResult shown = run_program(tool);
  EXPECT_EQ(shown.exit_status, 0) << shown.err;
  EXPECT_EQ(static_cast<size_t>(std::count(shown.out.begin(), shown.out.end(), '\n')), answered);

  disk->free_all();
  r = message_from("sender" + std::to_string(answered) + "@some.host.example");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), answered + 1);
}

TEST_F(FullDiskProgram, NewFileOnAFullDiskLeavesNothingAndTheRetryCreatesIt) {
  RecordingMta mta;
  disk->leave_free(8192);
  ProgramResult r = message_from("box@host");
  EXPECT_EQ(r.exit_status, 75);
  EXPECT_TRUE(mta.calls().empty());
  EXPECT_EQ(names_in(blockdir_), std::vector<std::string>());

  disk->free_all();
  r = message_from("box@host");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
  EXPECT_TRUE(gdbm_holds(block_file("local@site"), "box@host"));
  EXPECT_EQ(names_in(blockdir_), std::vector<std::string>{"local@site"});
}

}  // namespace
