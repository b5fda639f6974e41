#include "store/gdbm_block_store.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "config/config.h"
#include "store/block_record.h"
#include "store/store.h"
#include "support/gdbm_file.h"
#include "support/lock_holder.h"
#include "support/log_capture.h"
#include "support/pause_recorder.h"
#include "support/temp_dir.h"
#include "util/log.h"

namespace {

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

// Every file and directory under root, as paths relative to it.
std::set<std::string> tree(const std::string& root) {
  std::set<std::string> entries;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    entries.insert(std::filesystem::relative(e.path(), root).string());
  }
  return entries;
}

class Block : public PauseRecordingTest {
 protected:
  void SetUp() override {
    PauseRecordingTest::SetUp();
    std::filesystem::create_directory(blockfiles);
    g_config.blockfiles = blockfiles;
  }

  // A claim that must not fail.
  BlockClaim block_claim(const std::string& sender, const std::string& receiver) {
    Result<BlockClaim> claim = store.claim(sender, receiver);
    EXPECT_TRUE(claim.ok()) << claim.failure().reason;
    return claim.ok() ? *claim : BlockClaim{};
  }
  bool block_withdraw(const BlockClaim& claim, const std::string& sender,
                      const std::string& receiver) {
    return store.withdraw(claim, sender, receiver);
  }
  // The failure of a claim that must fail; it logs nothing itself.
  Outcome claim_failure(const std::string& sender, const std::string& receiver) {
    LogCapture capture;
    Result<BlockClaim> claim = store.claim(sender, receiver);
    EXPECT_FALSE(claim.ok());
    EXPECT_TRUE(capture.records().empty());
    return claim.failure();
  }
  // A failure that stops the run before any reply: priority err, text.
  static void expect_failure(const Outcome& failure, const std::string& text) {
    EXPECT_EQ(failure.kind, Outcome::kRetry);
    EXPECT_EQ(failure.priority, LOG_ERR);
    EXPECT_EQ(failure.reason, text);
  }

  // block_claim with a record for box@host stored at now + offset; tried
  // again until the clock did not move during the claim.
  BlockClaim claim_with_record_at(int64_t offset) {
    for (;;) {
      const int64_t before = time(nullptr);
      store_gdbm_record(receiver_file, kSenderKey, time_bytes(before + offset));
      BlockClaim claim = block_claim("box@host", "local@site");
      if (time(nullptr) == before) return claim;
    }
  }

  TempDir dir;
  const std::string blockfiles = dir.file("block");
  const std::string receiver_file = blockfiles + "/local@site";
  GdbmBlockStore store{g_config};
};

TEST_F(Block, ExpireZeroTouchesNoFile) {
  g_config.blockexpire = 0;
  // A missing directory (any access would be fatal), and a record that
  // would block: neither is looked at.
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(time(nullptr)));
  const std::string before = read_file(receiver_file);
  for (const std::string& blockdir : {dir.file("missing"), blockfiles}) {
    SCOPED_TRACE(blockdir);
    g_config.blockfiles = blockdir;
    const BlockClaim claim = block_claim("box@host", "local@site");
    EXPECT_TRUE(claim.granted);
    EXPECT_FALSE(claim.stored);
    EXPECT_FALSE(claim.previous);
    block_withdraw(claim, "box@host", "local@site");
    EXPECT_TRUE(block_claim("box@host", "local@site").granted);
  }
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"block", "block/local@site"}));
  EXPECT_EQ(read_file(receiver_file), before);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(Block, FirstClaimCreatesTheFileWithTheRecordThatBlocksTheNext) {
  const mode_t saved = umask(022);
  g_config.create_mode = 0640;
  const int64_t before = time(nullptr);
  const BlockClaim first = block_claim("box@host", "local@site");
  const int64_t after = time(nullptr);
  umask(saved);
  EXPECT_TRUE(first.granted);
  EXPECT_FALSE(first.previous);
  ASSERT_TRUE(first.stored);
  struct stat st;
  ASSERT_EQ(stat(receiver_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Recorded before the claim returned, as pending: the reply has not gone
  // out yet.
  const auto records = read_gdbm(receiver_file);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_EQ(records.count(kSenderKey), 1u);
  EXPECT_EQ(records.at(kSenderKey), *first.stored);
  const std::optional<BlockRecord> pending = gdbm_block_record(records.at(kSenderKey));
  ASSERT_TRUE(pending);
  EXPECT_GE(pending->time, before);
  EXPECT_LE(pending->time, after);
  EXPECT_EQ(pending->lease, block_lease_seconds(g_config.mtatimeout));
  EXPECT_EQ(first.lease_ends, pending->time + block_lease_seconds(g_config.mtatimeout));

  const BlockClaim again = block_claim("box@host", "local@site");
  EXPECT_FALSE(again.granted);
  EXPECT_FALSE(again.stored);
  EXPECT_EQ(read_gdbm(receiver_file), records);
  EXPECT_TRUE(block_claim("other@host", "local@site").granted);
  EXPECT_TRUE(block_claim("box@host", "other@site").granted);
  EXPECT_TRUE(pauses.empty());
}

// Another run creates a block file empty and only then locks it and writes
// GDBM's header: a claim that finds it so decides under the writer lock,
// which makes it a database, rather than taking it for a damaged one.
TEST_F(Block, EmptyBlockFileIsClaimedAsANewOne) {
  dir.write("block/local@site", "");
  const BlockClaim claim = block_claim("box@host", "local@site");
  EXPECT_TRUE(claim.granted);
  EXPECT_FALSE(claim.previous);
  EXPECT_EQ(read_gdbm(receiver_file).size(), 1u);
  EXPECT_FALSE(block_claim("box@host", "local@site").granted);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(Block, ExpiryIsStrictlyMoreThanBlockexpireHours) {
  const struct Case {
    int blockexpire;
    int64_t offset;  // stored time relative to now
    bool granted;
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
    SCOPED_TRACE(std::to_string(c.blockexpire) + " " + std::to_string(c.offset));
    g_config.blockexpire = c.blockexpire;
    const BlockClaim claim = claim_with_record_at(c.offset);
    EXPECT_EQ(claim.granted, c.granted);
    EXPECT_EQ(claim.stored.has_value(), c.granted);
    const std::string held = read_gdbm(receiver_file).at(kSenderKey);
    if (c.granted) {
      // The old time was taken over by the claim, and kept in it.
      ASSERT_TRUE(claim.previous);
      EXPECT_EQ(held, *claim.stored);
      EXPECT_NE(held, *claim.previous);
    } else {
      EXPECT_NE(stored_time(held), 0);
    }
  }
  // Corrupt times at the ends of the range.
  g_config.blockexpire = 48;
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(INT64_MIN));
  EXPECT_TRUE(block_claim("box@host", "local@site").granted);
  // A time far ahead (a clock that ran ahead, or damage) counts as none:
  // it would block the sender for ever.
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(INT64_MAX));
  EXPECT_TRUE(block_claim("box@host", "local@site").granted);
  EXPECT_NE(read_gdbm(receiver_file).at(kSenderKey), time_bytes(INT64_MAX));
}

TEST_F(Block, UnusableRecordsCountAsNone) {
  store_gdbm_record(receiver_file, kSenderKey, "1234");                      // shorter than a time
  store_gdbm_record(receiver_file, "late@host", time_bytes(time(nullptr)));  // no NUL byte
  const BlockClaim claim = block_claim("box@host", "local@site");
  EXPECT_TRUE(claim.granted);
  EXPECT_EQ(claim.previous, "1234");
  EXPECT_TRUE(block_claim("late@host", "local@site").granted);
  EXPECT_FALSE(block_claim("box@host", "local@site").granted);
}

TEST_F(Block, TrailingSlashInBlockfilesIsNotDoubled) {
  g_config.blockfiles = "/var/block";
  EXPECT_EQ(block_file_path(g_config.blockfiles, "a@b"), "/var/block/a@b");
  g_config.blockfiles = "/var/block/";
  EXPECT_EQ(block_file_path(g_config.blockfiles, "a@b"), "/var/block/a@b");

  g_config.blockfiles = blockfiles + "/";
  EXPECT_TRUE(block_claim("box@host", "local@site").granted);
  g_config.blockfiles = blockfiles;
  EXPECT_FALSE(block_claim("box@host", "local@site").granted);
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"block", "block/local@site"}));
}

TEST_F(Block, RefusesReceiversWhoseFileWouldLeaveBlockfiles) {
  LogCapture capture;
  // A name beyond NAME_MAX fails every open with ENAMETOOLONG: without the
  // refusal that ended the run with "CRIT/IO". Blanks at either end are
  // ignored by the directory's match, so each spelling would have made a
  // block file of its own, and a reply of its own.
  const std::string receivers[] = {"../escape",
                                   "a/b",
                                   "/abs",
                                   ".",
                                   "..",
                                   "",
                                   std::string("..\0x", 4),
                                   "x/\n",
                                   "local@site" + std::string(NAME_MAX, 'x'),
                                   "local@site ",
                                   " local@site"};
  // What a claim would have stored: withdrawing it touches nothing either.
  BlockClaim written;
  written.granted = true;
  written.stored = time_bytes(time(nullptr));
  for (const std::string& receiver : receivers) {
    SCOPED_TRACE(receiver);
    capture.clear();
    EXPECT_FALSE(block_file_path(g_config.blockfiles, receiver));
    const BlockClaim claim = block_claim("box@host", receiver);
    EXPECT_FALSE(claim.granted);
    EXPECT_FALSE(claim.stored);
    block_withdraw(written, "box@host", receiver);
    const LogRecord refused{LOG_WARNING, "WARN/IO refusing block file for " + log_safe(receiver)};
    EXPECT_EQ(capture.records(), std::vector<LogRecord>{refused});
  }
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
  // Dots and blanks inside an address are fine, and so is the longest name
  // a file may have.
  EXPECT_TRUE(block_file_path(g_config.blockfiles, "..a@b..c"));
  EXPECT_TRUE(block_file_path(g_config.blockfiles, "a b@c"));
  EXPECT_TRUE(block_file_path(g_config.blockfiles, std::string(NAME_MAX, 'x')));
}

// ---------------------------------------------------------------------------
// Withdrawing a claim

TEST_F(Block, WithdrawPutsBackWhatTheClaimReplacedUnlessAnotherRunWroteSince) {
  const int64_t now = time(nullptr);
  const std::string old_time = time_bytes(now - 100 * 3600);
  const std::string other_run = time_bytes(now + 5);
  const struct Case {
    const char* name;
    std::optional<std::string> before;  // box@host's record before the claim
    bool written_since;                 // another run stores other_run before the withdrawal
    std::optional<std::string> after;   // box@host's record after the withdrawal
  } cases[] = {
      {"no record: deleted again", std::nullopt, false, std::nullopt},
      {"an expired record: put back", old_time, false, old_time},
      {"an unusable record: put back", std::string("1234"), false, std::string("1234")},
      {"another run's record: left", std::nullopt, true, other_run},
      {"another run's over an old one: left", old_time, true, other_run},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(receiver_file);
    store_gdbm_record(receiver_file, "neighbour@host" + std::string(1, '\0'), old_time);
    if (c.before) store_gdbm_record(receiver_file, kSenderKey, *c.before);
    const BlockClaim claim = block_claim("box@host", "local@site");
    ASSERT_TRUE(claim.granted);
    EXPECT_EQ(claim.previous, c.before);
    if (c.written_since) store_gdbm_record(receiver_file, kSenderKey, other_run);

    LogCapture capture;
    EXPECT_TRUE(block_withdraw(claim, "box@host", "local@site"));
    EXPECT_TRUE(capture.records().empty());
    const auto records = read_gdbm(receiver_file);
    EXPECT_EQ(records.count(kSenderKey) == 1 ? std::optional(records.at(kSenderKey)) : std::nullopt,
              c.after);
    EXPECT_EQ(records.count("neighbour@host" + std::string(1, '\0')), 1u);
    // Withdrawn, the sender may be answered again.
    if (!c.written_since) {
      EXPECT_TRUE(block_claim("box@host", "local@site").granted);
    }
  }
  EXPECT_TRUE(pauses.empty());
}

TEST_F(Block, WithdrawOfAClaimThatWroteNothingTouchesNothing) {
  store_gdbm_record(receiver_file, kSenderKey, time_bytes(time(nullptr)));
  const BlockClaim refused = block_claim("box@host", "local@site");
  ASSERT_FALSE(refused.granted);
  const std::string before = read_file(receiver_file);
  std::filesystem::permissions(receiver_file, std::filesystem::perms::none);
  LogCapture capture;
  block_withdraw(refused, "box@host", "local@site");
  g_config.blockexpire = 0;
  block_withdraw(block_claim("box@host", "local@site"), "box@host", "local@site");
  EXPECT_TRUE(capture.records().empty());
  std::filesystem::permissions(
      receiver_file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(read_file(receiver_file), before);
}

TEST_F(Block, WithdrawThatCannotOpenTheFileIsLoggedAndTheRunGoesOn) {
  const BlockClaim claim = block_claim("box@host", "local@site");
  ASSERT_TRUE(claim.granted);
  std::filesystem::remove(receiver_file);
  LogCapture capture;
  EXPECT_FALSE(block_withdraw(claim, "box@host", "local@site"));
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{
                {LOG_ERR, "CRIT/IO " + receiver_file + ": No such file or directory"}}));
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
  EXPECT_TRUE(pauses.empty());
}

// ---------------------------------------------------------------------------
// Pending records: the lease, the confirmation, other runs

// A claim of box@host for local@site of the text tag by store, over
// box@host's value stored at now + offset (none: no record); tried again
// until the clock did not move during the claim.
Result<BlockClaim> claim_over(GdbmBlockStore& store, const std::string& file,
                              const std::optional<BlockRecord>& at_offset,
                              const std::string& tag = "") {
  for (;;) {
    const int64_t before = time(nullptr);
    if (at_offset) {
      BlockRecord record = *at_offset;
      record.time += before;
      store_gdbm_record(file, kSenderKey, gdbm_block_value(record));
    }
    Result<BlockClaim> claim = store.claim(ClaimRequest{"box@host", "local@site", tag, {}});
    if (time(nullptr) == before) return claim;
  }
}

TEST_F(Block, AnotherRunsPendingRecordHoldsForItsLeaseAndAFutureOneCountsAsNone) {
  const int64_t lease = block_lease_seconds(g_config.mtatimeout);
  const std::string pending_text =
      "WARN/MAIL reply to box@host for local@site pending in another run";
  enum Expect { kGranted, kBlocked, kPending };
  const struct Case {
    const char* name;
    BlockRecord record;  // its time relative to now
    const char* tag;     // the claim's
    Expect expect;
  } cases[] = {
      {"pending, just made", {0, std::nullopt, "", lease}, "", kPending},
      {"pending, its lease's last second", {-lease, std::nullopt, "", lease}, "", kPending},
      {"pending, its lease ran out", {-lease - 1, std::nullopt, "", lease}, "", kGranted},
      {"pending under a shorter lease of its own, ran out",
       {-100, std::nullopt, "", 90},
       "",
       kGranted},
      {"pending, of another text", {0, 7200, "e1", lease}, "e2", kPending},
      {"pending, dated half an hour ahead", {1800, std::nullopt, "", lease}, "", kPending},
      {"pending, dated two hours ahead", {7200, std::nullopt, "", lease}, "", kGranted},
      {"full, as every record before leases", {-60, std::nullopt, "", std::nullopt}, "", kBlocked},
      {"full, dated half an hour ahead", {1800, std::nullopt, "", std::nullopt}, "", kBlocked},
      {"full, dated two hours ahead", {7200, std::nullopt, "", std::nullopt}, "", kGranted},
      {"full, an hour and a second ahead", {3601, std::nullopt, "", std::nullopt}, "", kGranted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(receiver_file);
    // Each case is a run of its own: no record is its own claim's.
    GdbmBlockStore run{g_config};
    LogCapture capture;
    const Result<BlockClaim> claim = claim_over(run, receiver_file, c.record, c.tag);
    EXPECT_TRUE(capture.records().empty());
    const std::string held = read_gdbm(receiver_file).at(kSenderKey);
    if (c.expect == kPending) {
      ASSERT_FALSE(claim.ok());
      expect_failure(claim.failure(), pending_text);
      EXPECT_TRUE(gdbm_block_record(held)->lease);  // left as it was
      continue;
    }
    ASSERT_TRUE(claim.ok()) << claim.failure().reason;
    EXPECT_EQ(claim->granted, c.expect == kGranted);
    if (c.expect == kGranted) {
      ASSERT_TRUE(claim->stored && claim->previous);
      EXPECT_EQ(held, *claim->stored);
      EXPECT_EQ(gdbm_block_record(held)->lease, lease);
      EXPECT_EQ(gdbm_block_record(*claim->previous)->time,
                gdbm_block_record(held)->time + c.record.time);
    } else {
      EXPECT_EQ(gdbm_block_record(held)->time, time(nullptr) + c.record.time);
    }
  }
  EXPECT_TRUE(pauses.empty());
}

// The run that claimed confirms once the MTA took the reply: the record is
// the full one from then on, for every run; until then its own pending
// record blocks its further texts, and stops every other run.
TEST_F(Block, ConfirmMakesThePendingRecordFullAndOnlyItsOwnRunIsBlockedBefore) {
  const ClaimRequest first{"box@host", "local@site", "e1", 5};
  Result<BlockClaim> claim = store.claim(first);
  ASSERT_TRUE(claim.ok() && claim->granted && claim->stored);
  const BlockRecord made = *gdbm_block_record(*claim->stored);
  EXPECT_EQ(made.period, 5 * 3600);
  EXPECT_EQ(made.tag, "e1");
  ASSERT_TRUE(made.lease);

  // The run's own pending record: its second text is blocked, no failure.
  const Result<BlockClaim> second = store.claim(ClaimRequest{"box@host", "local@site", "e2", {}});
  ASSERT_TRUE(second.ok()) << second.failure().reason;
  EXPECT_FALSE(second->granted);
  GdbmBlockStore other{g_config};
  const Result<BlockClaim> elsewhere = other.claim(first);
  ASSERT_FALSE(elsewhere.ok());
  expect_failure(elsewhere.failure(),
                 "WARN/MAIL reply to box@host for local@site pending in another run");

  LogCapture capture;
  store.confirm(*claim, "box@host", "local@site");
  EXPECT_TRUE(capture.records().empty());
  const std::string full = read_gdbm(receiver_file).at(kSenderKey);
  EXPECT_EQ(full, gdbm_block_value(BlockRecord{made.time, made.period, "e1", std::nullopt}));
  EXPECT_FALSE(store.claim(ClaimRequest{"box@host", "local@site", "e2", {}})->granted);
  const Result<BlockClaim> after = other.claim(first);
  ASSERT_TRUE(after.ok()) << after.failure().reason;
  EXPECT_FALSE(after->granted);
  // Another text replaces a full record, as ever.
  EXPECT_TRUE(other.claim(ClaimRequest{"box@host", "local@site", "e2", {}})->granted);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(Block, ConfirmLeavesARecordThatIsNoLongerTheClaimsAndLogsAFailure) {
  const BlockClaim claim = block_claim("box@host", "local@site");
  ASSERT_TRUE(claim.stored);
  const std::string other_run = gdbm_block_value(
      BlockRecord{time(nullptr), std::nullopt, "e9", block_lease_seconds(g_config.mtatimeout)});
  store_gdbm_record(receiver_file, kSenderKey, other_run);
  LogCapture capture;
  store.confirm(claim, "box@host", "local@site");
  EXPECT_EQ(read_gdbm(receiver_file).at(kSenderKey), other_run);
  // Nothing written, nothing to confirm.
  store.confirm(BlockClaim{true, std::nullopt, std::nullopt, 0}, "box@host", "local@site");
  EXPECT_TRUE(capture.records().empty());

  // A confirmation that cannot be written is lost, and said to be.
  std::filesystem::remove(receiver_file);
  store.confirm(claim, "box@host", "local@site");
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{
                {LOG_ERR, "CRIT/IO " + receiver_file + ": No such file or directory"},
                {LOG_ERR, "CRIT/IO blockstore: confirmation lost: box@host for local@site"}}));
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
}

// ---------------------------------------------------------------------------
// What stops the run

// A block file with records of many senders, so that it spans many blocks.
void write_full_block_file(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    store_gdbm_record(path, "sender" + std::to_string(i) + "@host" + std::string(1, '\0'),
                      time_bytes(time(nullptr)));
  }
}

// Ways a block file gets damaged: GDBM cannot read it as a database.
struct BlockFileDamage {
  const char* name;
  void (*damage)(const std::string& path);
};
const BlockFileDamage kBlockFileDamages[] = {
    {"garbage bytes",
     [](const std::string& path) {
       std::string garbage;
       for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 37 + 11) & 0xff);
       FILE* f = fopen(path.c_str(), "wb");
       ASSERT_NE(f, nullptr);
       fwrite(garbage.data(), 1, garbage.size(), f);
       fclose(f);
     }},
    {"truncated to half its size",
     [](const std::string& path) {
       write_full_block_file(path);
       std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
     }},
};

TEST_F(Block, DamagedBlockFileStopsTheRunWithoutARecord) {
  for (const BlockFileDamage& c : kBlockFileDamages) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(receiver_file);
    c.damage(receiver_file);
    const std::string before = read_file(receiver_file);
    const Outcome failure = claim_failure("sender7@host", "local@site");
    EXPECT_EQ(failure.kind, Outcome::kRetry);
    EXPECT_EQ(failure.priority, LOG_ERR);
    EXPECT_THAT(failure.reason, testing::StartsWith("CRIT/IO " + receiver_file + ": "));
    EXPECT_GT(failure.reason.size(), ("CRIT/IO " + receiver_file + ": ").size());
    EXPECT_TRUE(pauses.empty());
    // Nothing written: a damaged file is never taken for an empty one.
    EXPECT_EQ(read_file(receiver_file), before);
  }
}

TEST_F(Block, MissingBlockfilesDirectoryStopsTheRunWithoutAPause) {
  g_config.blockfiles = dir.file("missing");
  const std::string path = dir.file("missing") + "/local@site";
  expect_failure(claim_failure("box@host", "local@site"),
                 "CRIT/IO " + path + ": No such file or directory");
  EXPECT_TRUE(pauses.empty());
  EXPECT_EQ(tree(dir.path()), std::set<std::string>{"block"});
}

// A read-only bind mount of a directory over itself, undone on destruction.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(const std::string& path) : path_(path) {
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error_ = strerror(errno);
      return;
    }
    mounted_ = true;
    if (mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      error_ = strerror(errno);
    }
  }
  ~ReadOnlyMount() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  ReadOnlyMount(const ReadOnlyMount&) = delete;
  ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

  // Empty when the directory is read-only now.
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string error_;
};

// The block file can be read but not written: the sender is not blocked, so
// a reply would be due, but it cannot be recorded first, so none goes out.
TEST_F(Block, BlockFileThatCannotBeWrittenStopsTheRunWithoutAReply) {
  store_gdbm_record(receiver_file, "other@host" + std::string(1, '\0'), time_bytes(time(nullptr)));
  const std::string before = read_file(receiver_file);
  std::string reason;
  std::unique_ptr<ReadOnlyMount> read_only;
  if (geteuid() == 0) {
    // Root writes whatever the file's mode says; only a read-only file
    // system stops it.
    read_only = std::make_unique<ReadOnlyMount>(blockfiles);
    if (!read_only->error().empty()) {
      GTEST_SKIP() << "running as root, and no read-only bind mount: " << read_only->error();
    }
    reason = "Read-only file system";
  } else {
    chmod(receiver_file.c_str(), 0400);
    reason = "Permission denied";
  }
  expect_failure(claim_failure("box@host", "local@site"),
                 "CRIT/IO " + receiver_file + ": " + reason);
  EXPECT_TRUE(pauses.empty());
  read_only.reset();
  EXPECT_EQ(read_file(receiver_file), before);
}

// ---------------------------------------------------------------------------
// Locks held by other processes

TEST_F(Block, ClaimWaitsOutALockThatIsReleased) {
  store_gdbm_record(receiver_file, "other@host" + std::string(1, '\0'), time_bytes(time(nullptr)));
  for (size_t release : {1u, 5u, 12u}) {
    SCOPED_TRACE(release);
    pauses.clear();
    LockHolder holder(receiver_file, GDBM_WRITER);
    release_holder = &holder;
    release_after = release;
    const std::string sender = "box" + std::to_string(release) + "@host";
    EXPECT_TRUE(block_claim(sender, "local@site").granted);
    EXPECT_EQ(pauses.size(), release);
    ASSERT_FALSE(pauses.empty());
    EXPECT_GE(pauses.front(), kFirstPauseStep / 2);
    EXPECT_LE(pauses.front(), kFirstPauseStep * 3 / 2);
    expect_pause_steps(pauses);
    release_holder = nullptr;
    EXPECT_EQ(read_gdbm(receiver_file).count(sender + std::string(1, '\0')), 1u);
  }
}

TEST_F(Block, ClaimUnderALockNeverReleasedStopsTheRun) {
  store_gdbm_record(receiver_file, "other@host" + std::string(1, '\0'), time_bytes(time(nullptr)));
  const std::string before = read_file(receiver_file);
  LockHolder holder(receiver_file, GDBM_WRITER);
  // The claim gives up after one wait limit; none pauses longer than 150 ms.
  expect_failure(claim_failure("box@host", "local@site"),
                 "CRIT/IO error locking '" + receiver_file + "' for writing");
  expect_wait_given_up(pauses);
  holder.release();
  EXPECT_EQ(read_file(receiver_file), before);
}

// ---------------------------------------------------------------------------
// What orvelt-db reaches through the store: the walk, removing, importing

// Every record and every unreadable part a walk hands on, as text.
class Collector : public BlockWalker {
 public:
  bool record(const BlockEntry& e) override {
    lines.push_back(e.receiver + "|" + e.sender + "|" +
                    (e.time ? std::to_string(*e.time) : "unreadable: " + e.problem));
    return lines.size() < stop_after;
  }
  void unreadable(const std::string& where, const std::string& reason) override {
    lines.push_back("! " + where + ": " + reason);
  }
  std::vector<std::string> lines;
  size_t stop_after = SIZE_MAX;
};

TEST_F(Block, WalkHandsOnEveryRecordSortedAndGoesOnPastAnUnreadableFile) {
  store_gdbm_record(blockfiles + "/b@site", "zed@x" + std::string(1, '\0'), time_bytes(7));
  store_gdbm_record(blockfiles + "/b@site", "amy@x" + std::string(1, '\0'), time_bytes(5));
  store_gdbm_record(blockfiles + "/b@site", "short@x" + std::string(1, '\0'), "1234");
  store_gdbm_record(blockfiles + "/b@site", "nonul@x", time_bytes(6));
  store_gdbm_record(blockfiles + "/c@site", "bob@x" + std::string(1, '\0'), time_bytes(9));
  dir.write("block/a@site", "not a database at all, but some bytes");
  dir.write("block/empty@site", "");  // being created by a run: passed over
  Collector walked;
  EXPECT_TRUE(store.walk(walked).ok());
  ASSERT_FALSE(walked.lines.empty());
  EXPECT_THAT(walked.lines.front(),
              testing::StartsWith("! " + blockfiles + "/a@site: not a GDBM database ("));
  walked.lines.front() = "! a@site";
  const std::vector<std::string> expected = {
      "! a@site",
      "b@site|amy@x|5",
      "b@site|nonul@x|unreadable: key not a NUL-terminated text",
      "b@site|short@x|unreadable: value of 4 bytes",
      "b@site|zed@x|7",
      "c@site|bob@x|9",
  };
  EXPECT_EQ(walked.lines, expected);

  // The walker may stop it.
  Collector first_two;
  first_two.stop_after = 2;
  EXPECT_TRUE(store.walk(first_two).ok());
  EXPECT_EQ(first_two.lines.size(), 2u);

  // Without blockfiles there is nothing to walk.
  g_config.blockfiles = dir.file("missing");
  Collector none;
  const Outcome failure = store.walk(none);
  EXPECT_FALSE(failure.ok());
  EXPECT_EQ(failure.reason, dir.file("missing") + ": no such file");
  EXPECT_TRUE(none.lines.empty());
  EXPECT_TRUE(pauses.empty());
}

TEST_F(Block, RemoveDeletesOnePairAndTheSenderIsAnsweredAgain) {
  ASSERT_TRUE(block_claim("box@host", "local@site").granted);
  ASSERT_TRUE(block_claim("other@host", "local@site").granted);
  const Result<bool> removed = store.remove("local@site", "box@host");
  ASSERT_TRUE(removed.ok()) << removed.failure().reason;
  EXPECT_TRUE(*removed);
  const Result<bool> again = store.remove("local@site", "box@host");
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(*again);
  EXPECT_EQ(read_gdbm(receiver_file).count("other@host" + std::string(1, '\0')), 1u);
  EXPECT_TRUE(block_claim("box@host", "local@site").granted);
  // A receiver without a block file: nothing to remove from, and why.
  const Result<bool> missing = store.remove("nobody@site", "box@host");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.failure().reason, "CRIT/IO " + blockfiles + "/nobody@site: no such file");
}

TEST_F(Block, ImportKeepsWhatStillBlocksAndNeverOverwrites) {
  const int64_t now = time(nullptr);
  ASSERT_TRUE(block_claim("present@host", "local@site").granted);
  const std::string present = read_gdbm(receiver_file).at("present@host" + std::string(1, '\0'));
  const struct Case {
    const char* sender;
    int64_t time;
    BlockImport result;
  } cases[] = {
      {"recent@host", now - 3600, BlockImport::kImported},
      {"old@host", now - 49 * 3600, BlockImport::kExpired},
      {"corrupt@host", INT64_MIN, BlockImport::kExpired},
      {"present@host", now - 60, BlockImport::kPresent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sender);
    const Result<BlockImport> imported = store.import("local@site", c.sender, c.time, now);
    ASSERT_TRUE(imported.ok()) << imported.failure().reason;
    EXPECT_EQ(*imported, c.result);
  }
  const auto records = read_gdbm(receiver_file);
  EXPECT_EQ(records.size(), 2u);
  EXPECT_EQ(records.at("recent@host" + std::string(1, '\0')), time_bytes(now - 3600));
  EXPECT_EQ(records.at("present@host" + std::string(1, '\0')), present);
  EXPECT_FALSE(block_claim("recent@host", "local@site").granted);
}

// What an operator puts back after a lost confirmation: the full record of
// a reply made now, in place of whatever the pair had, blocking every text
// for blockexpire; into an existing block file only.
TEST_F(Block, RecordReplyWritesTheFullRecordOverAnyOther) {
  const BlockClaim claim = block_claim("box@host", "local@site");
  ASSERT_TRUE(claim.stored);
  ASSERT_TRUE(gdbm_block_record(read_gdbm(receiver_file).at(kSenderKey))->lease);
  const int64_t now = time(nullptr);
  for (const char* sender : {"box@host", "new@host"}) {
    SCOPED_TRACE(sender);
    const Outcome recorded = store.record_reply("local@site", sender, now);
    ASSERT_TRUE(recorded.ok()) << recorded.reason;
    EXPECT_EQ(read_gdbm(receiver_file).at(sender + std::string(1, '\0')),
              gdbm_block_value(BlockRecord{now, std::nullopt, {}, std::nullopt}));
    GdbmBlockStore next_run{g_config};
    const Result<BlockClaim> again =
        next_run.claim(ClaimRequest{sender, "local@site", "e7", std::nullopt});
    ASSERT_TRUE(again.ok()) << again.failure().reason;
    EXPECT_FALSE(again->granted);
  }
  // No block file is made; none kept under blockexpire 0.
  const Outcome missing = store.record_reply("nobody@site", "box@host", now);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.reason, "CRIT/IO " + blockfiles + "/nobody@site: no such file");
  EXPECT_FALSE(std::filesystem::exists(blockfiles + "/nobody@site"));
  g_config.blockexpire = 0;
  EXPECT_TRUE(store.record_reply("nobody@site", "box@host", now).ok());
  EXPECT_FALSE(std::filesystem::exists(blockfiles + "/nobody@site"));
  EXPECT_TRUE(pauses.empty());
}

// ---------------------------------------------------------------------------
// What orvelt-web shows: the records of one receiver

// A record as text: sender, time (or the problem), the own period, tag and
// lease where it has them.
std::string describe(const BlockEntry& e) {
  std::string text = e.receiver + "|" + e.sender + "|";
  text += e.time ? std::to_string(*e.time) : "unreadable: " + e.problem;
  if (e.period) text += " p=" + std::to_string(*e.period);
  if (!e.tag.empty()) text += " t=" + e.tag;
  if (e.lease) text += " l=" + std::to_string(*e.lease);
  return text;
}

std::vector<std::string> described(const Result<std::vector<BlockEntry>>& records) {
  EXPECT_TRUE(records.ok()) << records.failure().reason;
  std::vector<std::string> lines;
  if (records.ok()) {
    for (const BlockEntry& e : *records) lines.push_back(describe(e));
  }
  return lines;
}

TEST_F(Block, RecordsOfOneReceiverHoldEveryKindOfItsRecordsAndNoOneElses) {
  const std::string nul(1, '\0');
  // A pending claim, a confirmed one under an own interval and tag, one
  // long expired and one unreadable, beside records of receivers whose
  // addresses start alike.
  const BlockClaim pending = block_claim("pending@x", "local@site");
  ASSERT_TRUE(pending.granted);
  const Result<BlockClaim> full = store.claim(ClaimRequest{"full@x", "local@site", "e12", 2});
  ASSERT_TRUE(full.ok() && full->granted);
  store.confirm(*full, "full@x", "local@site");
  store_gdbm_record(receiver_file, "expired@x" + nul, time_bytes(5));
  store_gdbm_record(receiver_file, "short@x" + nul, "1234");
  store_gdbm_record(blockfiles + "/local@site2", "other@x" + nul, time_bytes(7));
  store_gdbm_record(blockfiles + "/local@sit", "other@x" + nul, time_bytes(8));
  store_gdbm_record(blockfiles + "/b@site", "other@x" + nul, time_bytes(9));

  LogCapture capture;
  const Result<std::vector<BlockEntry>> records = store.records_of("local@site");
  ASSERT_TRUE(records.ok()) << records.failure().reason;
  ASSERT_EQ(records->size(), 4u);
  const BlockEntry& expired = (*records)[0];
  const BlockEntry& full_record = (*records)[1];
  const BlockEntry& pending_record = (*records)[2];
  EXPECT_EQ(describe(expired), "local@site|expired@x|5");
  EXPECT_EQ(full_record.sender, "full@x");
  EXPECT_EQ(full_record.period, 7200);
  EXPECT_EQ(full_record.tag, "e12");
  EXPECT_FALSE(full_record.lease);
  EXPECT_EQ(pending_record.sender, "pending@x");
  EXPECT_EQ(pending_record.lease, block_lease_seconds(g_config.mtatimeout));
  EXPECT_FALSE(pending_record.period);
  ASSERT_TRUE(pending_record.time);
  EXPECT_EQ(*pending_record.time + *pending_record.lease, pending.lease_ends);
  EXPECT_EQ(describe((*records)[3]), "local@site|short@x|unreadable: value of 4 bytes");
  EXPECT_TRUE(capture.records().empty());
  EXPECT_TRUE(pauses.empty());
  // Reading took no lock that outlives it: a claim goes on at once.
  EXPECT_TRUE(block_claim("new@x", "local@site").granted);
}

TEST_F(Block, RecordsOfAReceiverWithoutABlockFileAreNoneAndNothingIsCreated) {
  dir.write("block/empty@site", "");  // being created by a claim
  for (const char* receiver : {"nobody@site", "empty@site", "..", "a/b@site", " padded@site", ""}) {
    SCOPED_TRACE(receiver);
    LogCapture capture;
    EXPECT_TRUE(described(store.records_of(receiver)).empty());
    EXPECT_TRUE(capture.records().empty());
  }
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"block", "block/empty@site"}));
  EXPECT_EQ(read_file(blockfiles + "/empty@site"), "");
}

TEST_F(Block, RecordsOfADamagedOrLockedFileAreAFailureNeverNone) {
  for (const BlockFileDamage& c : kBlockFileDamages) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(receiver_file);
    c.damage(receiver_file);
    const std::string before = read_file(receiver_file);
    LogCapture capture;
    const Result<std::vector<BlockEntry>> records = store.records_of("local@site");
    ASSERT_FALSE(records.ok());
    EXPECT_EQ(records.failure().kind, Outcome::kRetry);
    EXPECT_EQ(records.failure().priority, LOG_ERR);
    EXPECT_THAT(records.failure().reason, testing::StartsWith("CRIT/IO " + receiver_file + ": "));
    EXPECT_GT(records.failure().reason.size(), ("CRIT/IO " + receiver_file + ": ").size());
    EXPECT_TRUE(capture.records().empty());
    EXPECT_EQ(read_file(receiver_file), before);
  }

  std::filesystem::remove(receiver_file);
  store_gdbm_record(receiver_file, "box@host" + std::string(1, '\0'), time_bytes(5));
  LockHolder holder(receiver_file, GDBM_WRITER);
  const Result<std::vector<BlockEntry>> locked = store.records_of("local@site");
  ASSERT_FALSE(locked.ok());
  expect_failure(locked.failure(), "CRIT/IO " + receiver_file +
                                       ": locked by another process for too long; try again later");
  expect_wait_given_up(pauses);
}

}  // namespace
