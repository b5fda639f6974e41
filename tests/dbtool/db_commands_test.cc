// orvelt-db's commands run in-process, against real GDBM files, with the
// lock-retry pause recorded instead of slept.
#include "dbtool/db_commands.h"

#include <gdbm.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "config/config.h"
#include "dbtool/display.h"
#include "store/block_record.h"
#include "store/gdbm_block_store.h"
#include "store/record_format.h"
#include "store/redis_store.h"
#include "store/store.h"
#include "support/gdbm_file.h"
#include "support/lock_holder.h"
#include "support/pause_recorder.h"
#include "support/redis_server.h"
#include "support/temp_dir.h"

namespace {

// One run of the program's block store on the block files of g_config:
// the claim, and when granted the reply confirmed, as the MTA took it.
BlockClaim block_claim(const std::string& sender, const std::string& receiver) {
  GdbmBlockStore store(g_config);
  Result<BlockClaim> claim = store.claim(sender, receiver);
  EXPECT_TRUE(claim.ok()) << claim.failure().reason;
  if (claim.ok() && claim->granted) store.confirm(*claim, sender, receiver);
  return claim.ok() ? *claim : BlockClaim{};
}

using testing::HasSubstr;
using testing::IsEmpty;

const std::string kNul(1, '\0');

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using OwnedFile = std::unique_ptr<FILE, FileCloser>;

std::string contents(FILE* f) {
  std::string text;
  rewind(f);
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, got);
  return text;
}

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// Runs one orvelt-db command line with input as its standard input.
ToolRun run_tool(const std::vector<std::string>& args, const std::string& input = "") {
  OwnedFile in(tmpfile());
  OwnedFile out(tmpfile());
  OwnedFile err(tmpfile());
  fwrite(input.data(), 1, input.size(), in.get());
  rewind(in.get());
  const int status = run_db_tool(args, DbStreams{in.get(), out.get(), err.get()});
  return {status, contents(out.get()), contents(err.get())};
}

std::string time_bytes(int64_t t) {
  std::string bytes(sizeof t, '\0');
  memcpy(bytes.data(), &t, sizeof t);
  return bytes;
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

class DbTool : public PauseRecordingTest {
 protected:
  // A lookup database holding keys (with their NUL bytes).
  std::string lookup_db(const std::vector<std::string>& keys, const std::string& name = "db") {
    const std::string path = dir.file(name);
    write_gdbm_keys(path, keys);
    return path;
  }

  TempDir dir;
};

// ---------------------------------------------------------------------------
// load, list, add, remove, has

TEST_F(DbTool, LoadStoresEachLineWithItsNulByte) {
  const std::string db = dir.file("badheaders.db");
  const std::string input = dir.write("list.txt",
                                      "Precedence: bulk\n"
                                      "\n"
                                      "X-Spam-Flag: YES\r\n"
                                      "\tcontinued\n"
                                      "Precedence: bulk\n"
                                      "Auto-Submitted: auto-replied");
  const ToolRun r = run_tool({"load", db, input});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, dir.file("badheaders.db") + ": loaded 5 keys, 4 new, 1 already there\n");
  EXPECT_THAT(r.err, IsEmpty());
  const auto records = read_gdbm(db);
  EXPECT_EQ(records, (std::map<std::string, std::string>{
                         {"Precedence: bulk" + kNul, ""},
                         {"X-Spam-Flag: YES\r" + kNul, ""},
                         {"\tcontinued" + kNul, ""},
                         {"Auto-Submitted: auto-replied" + kNul, ""},
                     }));
  // The program's own lookup finds them.
  StoreHandle handle = store_open(db, StoreMode::kReader, 0);
  EXPECT_TRUE(store_has_key("Precedence: bulk", handle));
  EXPECT_FALSE(store_has_key("precedence: bulk", handle));
  EXPECT_THAT(pauses, IsEmpty());
}

TEST_F(DbTool, LoadReportsSkippedLinesAndStoresTheRest) {
  const std::string db = dir.file("blacklist.db");
  const ToolRun r = run_tool({"load", "--address", db}, "Jane <JANE@Example.ORG>\n<>\nbob@x\n");
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_EQ(r.err, "orvelt-db: standard input:2: holds no address; skipped\n");
  EXPECT_EQ(read_gdbm(db), (std::map<std::string, std::string>{{"jane@example.org" + kNul, ""},
                                                               {"bob@x" + kNul, ""}}));
}

TEST_F(DbTool, LoadExtendsOrWithReplaceStartsEmpty) {
  const std::string db = lookup_db({"old@x", "kept@x"});
  ToolRun r = run_tool({"load", db, "-"}, "kept@x\nnew@x\n");
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(read_gdbm(db).size(), 3u);

  r = run_tool({"load", "--replace", db}, "kept@x\nnewer@x\n");
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            db + ": removed 3 old keys\n" + db + ": loaded 2 keys, 2 new, 0 already there\n");
  EXPECT_EQ(read_gdbm(db),
            (std::map<std::string, std::string>{{"kept@x" + kNul, ""}, {"newer@x" + kNul, ""}}));
  // An empty input with --replace empties the database.
  r = run_tool({"load", "--replace", db}, "");
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_THAT(read_gdbm(db), IsEmpty());
}

TEST_F(DbTool, LoadCreatesWithTheGivenModeLessTheUmask) {
  const mode_t saved = umask(022);
  g_config.create_mode = 0600;
  const ToolRun plain = run_tool({"load", dir.file("a.db")}, "A: 1\n");
  const ToolRun given = run_tool({"load", "--mode", "0660", dir.file("b.db")}, "A: 1\n");
  umask(saved);
  // The tool's mode is its own: the program's setting stays as it was.
  EXPECT_EQ(g_config.create_mode, 0600);
  EXPECT_EQ(plain.status, kDbDone) << plain.err;
  EXPECT_EQ(given.status, kDbDone) << given.err;
  struct stat st;
  ASSERT_EQ(stat(dir.file("a.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(stat(dir.file("b.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(DbTool, ListPrintsKeysSortedAndLoadsBackUnchanged) {
  const std::string db = lookup_db({"b: 2", "a: 1", "\tc: 3\r"});
  const ToolRun listed = run_tool({"list", db});
  EXPECT_EQ(listed.status, kDbDone) << listed.err;
  EXPECT_EQ(listed.out, "\tc: 3\r\na: 1\nb: 2\n");
  const ToolRun loaded = run_tool({"load", dir.file("copy")}, listed.out);
  EXPECT_EQ(loaded.status, kDbDone) << loaded.err;
  std::vector<std::string> copied;
  for (const auto& [key, value] : read_gdbm(dir.file("copy"))) copied.push_back(key);
  EXPECT_EQ(copied, (std::vector<std::string>{"\tc: 3\r" + kNul, "a: 1" + kNul, "b: 2" + kNul}));
}

TEST_F(DbTool, ListReportsKeysTheProgramNeverMatches) {
  const std::string db = dir.file("foreign");
  write_gdbm_keys(db, {"no-nul@x"}, false);
  store_gdbm_record(db, "good@x" + kNul, "");
  store_gdbm_record(db, "two\nlines" + kNul, "");
  const ToolRun r = run_tool({"list", db});
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_EQ(r.out, "good@x\n");
  EXPECT_THAT(r.err, HasSubstr("key \"no-nul@x\": not a NUL-terminated text"));
  EXPECT_THAT(r.err, HasSubstr("key \"two\\nlines\\x00\": contains a newline"));
}

TEST_F(DbTool, AddRemoveHasRoundTrip) {
  const std::string db = lookup_db({"a@x"});
  ToolRun r = run_tool({"add", "--address", db, "B <B@X>", "a@x", "***"});
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_EQ(r.out, db + ": added 1 key, 1 already there\n");
  EXPECT_EQ(r.err, "orvelt-db: key \"***\": holds no address; skipped\n");

  EXPECT_EQ(run_tool({"has", db, "b@x"}).status, kDbDone);
  EXPECT_EQ(run_tool({"has", "--address", db, "Someone <B@x>"}).status, kDbDone);
  EXPECT_EQ(run_tool({"has", db, "B@X"}).status, kDbPartly);

  r = run_tool({"remove", db, "a@x", "c@x"});
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_EQ(r.out, db + ": removed 1 key\n");
  EXPECT_EQ(r.err, "orvelt-db: " + db + ": no key \"c@x\"\n");
  EXPECT_EQ(read_gdbm(db), (std::map<std::string, std::string>{{"b@x" + kNul, ""}}));
  EXPECT_EQ(run_tool({"has", db, "a@x"}).status, kDbPartly);

  // A key that looks like an option follows "--".
  r = run_tool({"add", db, "--", "--odd"});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(run_tool({"has", db, "--", "--odd"}).status, kDbDone);
}

// ---------------------------------------------------------------------------
// Errors

struct ErrorCase {
  std::vector<std::string> args;
  std::string message;  // part of the error output
  size_t pauses;        // store_open pauses before giving up
};

// Runs the tool as c says: status 2, c's message on standard error after
// "orvelt-db: ", c's number of pauses, nothing on standard output.
void expect_error(const ErrorCase& c) {
  pauses.clear();
  const ToolRun r = run_tool(c.args);
  EXPECT_EQ(r.status, kDbFailed);
  EXPECT_THAT(r.err, HasSubstr(c.message));
  EXPECT_EQ(r.err.rfind("orvelt-db: ", 0), 0u) << r.err;
  EXPECT_EQ(pauses.size(), c.pauses);
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(DbTool, ErrorsAreReportedWithStatusTwo) {
  const std::string db = lookup_db({"k"});
  const std::string input = dir.write("input", "A: 1\n");
  const std::string junk = dir.write("junk", std::string(4096, 'j'));
  const std::string empty = dir.write("empty", "");
  const std::string missing = dir.file("missing");
  std::filesystem::create_directory(dir.file("blocks"));
  const ErrorCase cases[] = {
      {{}, "no command given", 0},
      {{"frob"}, "unknown command \"frob\"", 0},
      {{"list"}, "list: wrong number of arguments", 0},
      {{"list", db, db}, "list: wrong number of arguments", 0},
      {{"has", db}, "has: wrong number of arguments", 0},
      {{"add", db}, "add: wrong number of arguments", 0},
      {{"list", "--replace", db}, "--replace: unknown option for list", 0},
      {{"load", "--frob", db}, "--frob: unknown option for load", 0},
      {{"load", "--replace=yes", db}, "--replace takes no value", 0},
      {{"load", db, "--mode"}, "--mode needs a value", 0},
      {{"load", "--mode", "0999", db, input}, "--mode 0999: not an octal file mode", 0},
      {{"load", "--mode=1777", db, input}, "--mode 1777: not an octal file mode", 0},
      {{"purge", dir.file("blocks")}, "purge needs --older-than HOURS", 0},
      {{"purge", "--older-than", "-1", dir.file("blocks")}, "not a whole number of hours", 0},
      {{"purge", "--older-than=1.5", dir.file("blocks")}, "not a whole number of hours", 0},
      {{"purge", "--older-than", "9999999999999999", dir.file("blocks")},
       "not a whole number of hours",
       0},
      {{"has", "--address", db, "<>"}, "key \"<>\": holds no address", 0},
      {{"has", db, ""}, "key \"\": empty", 0},
      // Files that no retry can cure: reported at once.
      {{"list", missing}, missing + ": no such file", 0},
      {{"has", missing, "k"}, missing + ": no such file", 0},
      {{"add", missing, "k"}, missing + ": no such file", 0},
      {{"remove", missing, "k"}, missing + ": no such file", 0},
      {{"blocks", missing}, missing + ": no such file", 0},
      {{"purge", "--older-than", "1", missing}, missing + ": no such file", 0},
      {{"list", dir.path()}, dir.path() + ": is a directory", 0},
      {{"list", "/dev/null"}, "/dev/null: not a regular file", 0},
      {{"list", empty}, empty + ": empty file, not a GDBM database", 0},
      {{"add", empty, "k"}, empty + ": empty file, not a GDBM database", 0},
      {{"load", dir.file("no/such/dir/db"), input},
       dir.file("no/such/dir") + ": no such directory",
       0},
      {{"load", db, dir.file("no-input")}, dir.file("no-input") + ": No such file or directory", 0},
      {{"load", dir.file("new"), dir.file("no-input")}, "No such file or directory", 0},
      // What GDBM itself refuses is reported at once too, as in the program.
      {{"list", junk}, junk + ": not a GDBM database (Bad magic number)", 0},
      {{"add", junk, "k"}, junk + ": not a GDBM database (Bad magic number)", 0},
      {{"load", junk, input}, junk + ": not a GDBM database (Bad magic number)", 0},
  };
  for (const ErrorCase& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += " " + a;
    SCOPED_TRACE("orvelt-db" + line);
    expect_error(c);
  }
  // Only load creates a database, and not from an input it cannot read.
  EXPECT_FALSE(exists(missing));
  EXPECT_FALSE(exists(dir.file("new")));
  EXPECT_EQ(read_file(empty), "");
  EXPECT_EQ(read_file(junk), std::string(4096, 'j'));
  EXPECT_EQ(read_gdbm(db).size(), 1u);
}

TEST_F(DbTool, HelpGoesToStandardOutput) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"help"}, {"purge", "--help"}}) {
    const ToolRun r = run_tool(args);
    EXPECT_EQ(r.status, kDbDone);
    EXPECT_EQ(r.out.rfind("usage: orvelt-db COMMAND", 0), 0u);
    EXPECT_THAT(r.err, IsEmpty());
  }
}

// ---------------------------------------------------------------------------
// Locks held by other processes

TEST_F(DbTool, WaitsForALockAsTheProgramDoes) {
  const std::string db = lookup_db({"a@x"});
  {
    // orvelt recording a block, say: readers wait for it.
    LockHolder writer(db, GDBM_WRITER);
    release_holder = &writer;
    release_after = 2;
    const ToolRun r = run_tool({"list", db});
    EXPECT_EQ(r.status, kDbDone) << r.err;
    EXPECT_EQ(r.out, "a@x\n");
    EXPECT_EQ(pauses.size(), 2u);
  }
  {
    // orvelt's intake reading the database: a writer waits for it.
    pauses.clear();
    LockHolder reader(db, GDBM_READER);
    release_holder = &reader;
    release_after = 3;
    const ToolRun r = run_tool({"load", db}, "b@x\n");
    EXPECT_EQ(r.status, kDbDone) << r.err;
    EXPECT_EQ(pauses.size(), 3u);
    EXPECT_EQ(read_gdbm(db).size(), 2u);
  }
  expect_pause_steps(pauses);
}

TEST_F(DbTool, GivesUpOnALockHeldForTooLong) {
  const std::string db = lookup_db({"a@x"});
  LockHolder writer(db, GDBM_WRITER);
  const ToolRun r = run_tool({"has", db, "a@x"});
  EXPECT_EQ(r.status, kDbFailed);
  EXPECT_EQ(r.err,
            "orvelt-db: " + db + ": locked by another process for too long; try again later\n");
  expect_wait_given_up(pauses);
}

// ---------------------------------------------------------------------------
// Block files

class BlockFiles : public DbTool {
 protected:
  void SetUp() override {
    DbTool::SetUp();
    std::filesystem::create_directory(blockdir);
    g_config.blockfiles = blockdir;
    g_config.blockexpire = 48;
  }

  void record(const std::string& receiver, const std::string& sender, int64_t time) {
    store_gdbm_record(blockdir + "/" + receiver, sender + kNul, time_bytes(time));
  }

  std::string blockdir = dir.file("block");
};

TEST_F(BlockFiles, BlocksShowsEveryRecordSorted) {
  record("z@site", "b@host", 1700000000);
  record("a@site", "y@host", 0);
  record("a@site", "x@host", 1700000000);
  store_gdbm_record(blockdir + "/a@site", "short@host" + kNul, "abc");
  store_gdbm_record(blockdir + "/a@site", "no-nul@host", time_bytes(1));
  store_gdbm_record(blockdir + "/a@site", "esc\x1b@host" + kNul, time_bytes(1700000000));
  std::filesystem::create_directory(blockdir + "/subdir");
  dir.write("block/being-created@site", "");

  const ToolRun all = run_tool({"blocks", blockdir});
  EXPECT_EQ(all.status, kDbDone) << all.err;
  const std::vector<std::string> lines = {
      "a@site\tesc\\x1b@host\t2023-11-14 22:13:20 UTC\t",
      "a@site\tno-nul@host\tunreadable: key not a NUL-terminated text\n",
      "a@site\tshort@host\tunreadable: value of 3 bytes\n",
      "a@site\tx@host\t2023-11-14 22:13:20 UTC\t",
      "a@site\ty@host\t1970-01-01 00:00:00 UTC\t",
      "z@site\tb@host\t2023-11-14 22:13:20 UTC\t",
  };
  size_t pos = 0;
  for (const std::string& expected : lines) {
    const size_t found = all.out.find(expected, pos);
    ASSERT_NE(found, std::string::npos) << expected << " in\n" << all.out;
    EXPECT_EQ(found, pos) << expected;
    pos = all.out.find('\n', found) + 1;
  }
  EXPECT_EQ(pos, all.out.size());

  const ToolRun one = run_tool({"blocks", blockdir + "/z@site"});
  EXPECT_EQ(one.status, kDbDone) << one.err;
  EXPECT_EQ(one.out.rfind("z@site\tb@host\t2023-11-14 22:13:20 UTC\t", 0), 0u) << one.out;
}

TEST_F(BlockFiles, BlocksReportsAFileItCannotReadAndShowsTheOthers) {
  record("a@site", "x@host", 1700000000);
  dir.write("block/b@site", "not a database at all, but long enough to be looked at");
  const ToolRun r = run_tool({"blocks", blockdir});
  EXPECT_EQ(r.status, kDbFailed);
  EXPECT_EQ(r.out.rfind("a@site\tx@host\t", 0), 0u) << r.out;
  EXPECT_THAT(r.err, HasSubstr("b@site: not a GDBM database"));
}

TEST_F(BlockFiles, PurgeRemovesOnlyWhatIsOlderAndTheProgramStillReadsTheFile) {
  const int64_t now = time(nullptr);
  record("a@site", "old@host", now - 100 * 3600);
  record("a@site", "recent@host", now - 3600);
  record("a@site", "future@host", now + 3600);
  store_gdbm_record(blockdir + "/a@site", "short@host" + kNul, "abc");
  record("b@site", "fresh@host", now - 60);
  const auto before_a = read_gdbm(blockdir + "/a@site");
  const auto before_b = read_gdbm(blockdir + "/b@site");

  ToolRun r = run_tool({"purge", "--dry-run", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "a@site: would remove 1 of 4 records\n"
            "a@site: left 1 unreadable record alone\n"
            "would purge 1 record from 1 of 2 block files\n");
  EXPECT_EQ(read_gdbm(blockdir + "/a@site"), before_a);

  r = run_tool({"purge", blockdir, "--older-than=48"});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "a@site: removed 1 of 4 records\n"
            "a@site: left 1 unreadable record alone\n"
            "purged 1 record from 1 of 2 block files\n");
  auto after = before_a;
  after.erase("old@host" + kNul);
  EXPECT_EQ(read_gdbm(blockdir + "/a@site"), after);
  EXPECT_EQ(read_gdbm(blockdir + "/b@site"), before_b);

  // The reorganised file is still the program's block file.
  EXPECT_FALSE(block_claim("recent@host", "a@site").granted);
  EXPECT_FALSE(block_claim("future@host", "a@site").granted);
  EXPECT_TRUE(block_claim("old@host", "a@site").granted);
  EXPECT_FALSE(block_claim("old@host", "a@site").granted);
  EXPECT_THAT(pauses, IsEmpty());
}

TEST_F(BlockFiles, PurgeUsesTheProgramsStrictComparison) {
  // now - time > hours, as a claim decides: zero hours takes anything
  // from before this second, but never a time in the future.
  const int64_t now = time(nullptr);
  record("a@site", "past@host", now - 10);
  record("a@site", "future@host", now + 3600);
  const ToolRun r = run_tool({"purge", "--older-than", "0", blockdir + "/a@site"});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "a@site: removed 1 of 2 records\npurged 1 record from 1 of 1 block file\n");
  EXPECT_EQ(read_gdbm(blockdir + "/a@site").count("future@host" + kNul), 1u);
}

// A record dated more than an hour ahead, or a pending one whose lease ran
// out, blocks nothing: purge removes it whatever --older-than says, and
// counts the ones from the future apart.
TEST_F(BlockFiles, PurgeRemovesRecordsFromTheFutureAndLeasesThatRanOut) {
  const int64_t now = time(nullptr);
  const struct Case {
    const char* sender;
    BlockRecord record;
    bool removed;
  } cases[] = {
      {"ahead@host", {now + 2 * 3600, std::nullopt, "", std::nullopt}, true},
      {"far-ahead@host", {now + 400 * 86400, std::nullopt, "", std::nullopt}, true},
      {"pending-ahead@host", {now + 2 * 3600, std::nullopt, "", 120}, true},
      {"clock-set-back@host", {now + 3500, std::nullopt, "", std::nullopt}, false},
      {"lease-ran-out@host", {now - 200, std::nullopt, "", 120}, true},
      {"lease-holds@host", {now - 100, std::nullopt, "", 120}, false},
      {"confirmed@host", {now - 200, std::nullopt, "", std::nullopt}, false},
  };
  for (const Case& c : cases) {
    store_gdbm_record(blockdir + "/a@site", c.sender + kNul, gdbm_block_value(c.record));
  }
  const auto before = read_gdbm(blockdir + "/a@site");

  ToolRun r = run_tool({"purge", "--dry-run", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "a@site: would remove 4 of 7 records (3 from the future)\n"
            "would purge 4 records from 1 of 1 block file (3 from the future)\n");
  EXPECT_EQ(read_gdbm(blockdir + "/a@site"), before);

  r = run_tool({"purge", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "a@site: removed 4 of 7 records (3 from the future)\n"
            "purged 4 records from 1 of 1 block file (3 from the future)\n");
  const auto after = read_gdbm(blockdir + "/a@site");
  for (const Case& c : cases) {
    EXPECT_EQ(after.count(c.sender + kNul), c.removed ? 0u : 1u) << c.sender;
  }
}

// A file that orvelt is creating stands under a temporary name until it is
// whole: blocks never reads it, purge removes it only once it is an hour
// old, and neither takes it for a receiver's file.
TEST_F(BlockFiles, TemporariesArePassedOverAndPurgedOnlyWhenStale) {
  record("a@site", "x@host", time(nullptr) - 60);
  const std::string stale = blockdir + "/.new;123;00000000deadbeef";
  const std::string young = blockdir + "/.new;456;00000000feedf00d";
  const std::string empty_stale = blockdir + "/.new;789;0000000000000001";
  write_gdbm_keys(stale, {"half@host"});
  write_gdbm_keys(young, {"half@host"});
  dir.write("block/.new;789;0000000000000001", "");
  const auto age = [](const std::string& path, time_t seconds) {
    const time_t then = time(nullptr) - seconds;
    const struct timeval times[2] = {{then, 0}, {then, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
  };
  age(stale, 3601 + 60);
  age(empty_stale, 2 * 86400);
  age(young, 3000);

  ToolRun r = run_tool({"blocks", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out.find("half@host"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(".new;"), std::string::npos) << r.out;
  EXPECT_THAT(r.err, IsEmpty());

  r = run_tool({"purge", "--dry-run", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "would purge 0 records from 0 of 1 block file\n"
            "would remove 2 stale temporary files\n");
  EXPECT_TRUE(std::filesystem::exists(stale));

  r = run_tool({"purge", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "purged 0 records from 0 of 1 block file\n"
            "removed 2 stale temporary files\n");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_FALSE(std::filesystem::exists(empty_stale));
  EXPECT_TRUE(std::filesystem::exists(young));
  EXPECT_EQ(read_gdbm(blockdir + "/a@site").size(), 1u);

  // A young one left alone says nothing.
  r = run_tool({"purge", "--older-than", "48", blockdir});
  EXPECT_EQ(r.out, "purged 0 records from 0 of 1 block file\n");
}

TEST_F(BlockFiles, PurgeGoesOnPastALockedFileAndReportsIt) {
  const int64_t now = time(nullptr);
  record("a@site", "old@host", now - 100 * 3600);
  record("b@site", "old@host", now - 100 * 3600);
  LockHolder writer(blockdir + "/a@site", GDBM_WRITER);
  const ToolRun r = run_tool({"purge", "--older-than", "48", blockdir});
  EXPECT_EQ(r.status, kDbFailed);
  EXPECT_THAT(r.err, HasSubstr("a@site: locked by another process for too long"));
  EXPECT_EQ(r.out, "b@site: removed 1 of 1 record\npurged 1 record from 1 of 2 block files\n");
  expect_wait_given_up(pauses);
  writer.release();
  EXPECT_EQ(read_gdbm(blockdir + "/a@site").size(), 1u);
  EXPECT_THAT(read_gdbm(blockdir + "/b@site"), IsEmpty());
}

// ---------------------------------------------------------------------------
// recover

// Whether GDBM opens the file at path for writing but, reading the
// records, finds its structure damaged and asks for a recovery (damaged
// bytes in a key or value it cannot tell from any others).
bool opens_but_fails_to_read(const std::string& path) {
  GDBM_FILE db = gdbm_open(path.c_str(), 0, GDBM_WRITER, 0600, nullptr);
  if (db == nullptr) return false;
  for (datum key = gdbm_firstkey(db); key.dptr != nullptr && !gdbm_needs_recovery(db);) {
    free(gdbm_fetch(db, key).dptr);
    datum next = gdbm_nextkey(db, key);
    free(key.dptr);
    key = next;
  }
  const bool damaged = gdbm_needs_recovery(db);
  gdbm_close(db);
  return damaged;
}

// Overwrites bytes at offset in the file at path, length unchanged.
void overwrite(const std::string& path, size_t offset, const std::string& bytes) {
  std::string content = read_file(path);
  ASSERT_LE(offset + bytes.size(), content.size());
  content.replace(offset, bytes.size(), bytes);
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

class Recover : public BlockFiles {
 protected:
  // A block file of 200 senders in blocks of 4096 bytes exactly, so that it
  // spans several buckets and data blocks; gives the records.
  std::map<std::string, std::string> full_block_file(const std::string& path) {
    GDBM_FILE db = gdbm_open(path.c_str(), 4096, GDBM_NEWDB | GDBM_BSEXACT, 0640, nullptr);
    EXPECT_NE(db, nullptr);
    std::map<std::string, std::string> records;
    for (int i = 0; i < 200; ++i) {
      const std::string key = "sender" + std::to_string(i) + "@host" + kNul;
      const std::string value = time_bytes(1700000000 + i);
      gdbm_store(db, datum_over(key), datum_over(value), GDBM_REPLACE);
      records[key] = value;
    }
    gdbm_close(db);
    return records;
  }

  // Damages one bucket, a block after the header and directory that holds
  // no key bytes, so that GDBM still opens the file but cannot read it all:
  // the first such block, found by trying each in turn, as where GDBM puts
  // its buckets is its own affair. False when no block gives that damage.
  bool damage_a_bucket(const std::string& path) {
    const std::string pristine = read_file(path);
    for (size_t offset = 2 * 4096; offset + 4096 <= pristine.size(); offset += 4096) {
      if (pristine.substr(offset, 4096).find("@host") != std::string::npos) continue;
      overwrite(path, offset + 16, std::string(64, '\xff'));
      if (opens_but_fails_to_read(path)) return true;
      overwrite(path, 0, pristine);
    }
    return false;
  }
};

TEST_F(Recover, RebuildsADamagedFileFromWhatGdbmCanRead) {
  const std::string file = blockdir + "/a@site";
  const auto original = full_block_file(file);
  ASSERT_TRUE(damage_a_bucket(file)) << "no block whose damage GDBM opens";
  const std::string damaged = read_file(file);

  const ToolRun r = run_tool({"recover", file});
  // Part of the records went with the bucket: reported, status 1.
  EXPECT_EQ(r.status, kDbPartly) << r.err;
  EXPECT_THAT(r.err, IsEmpty());
  const auto kept = read_gdbm(file);
  EXPECT_FALSE(opens_but_fails_to_read(file));
  EXPECT_LT(kept.size(), original.size());
  EXPECT_FALSE(kept.empty());
  for (const auto& [key, value] : kept) {
    ASSERT_EQ(original.count(key), 1u) << key;
    EXPECT_EQ(original.at(key), value) << key;
  }
  EXPECT_EQ(r.out, file + ": recovered " + std::to_string(kept.size()) + " records, 0 lost\n" +
                       file + ": 1 bucket unreadable, the records in it lost\n" + file +
                       ": the damaged file is kept as " + file + ".~1~\n");
  EXPECT_EQ(read_file(file + ".~1~"), damaged);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // The program reads and writes the rebuilt file again.
  g_config.blockexpire = 48;
  EXPECT_TRUE(block_claim("sender-new@host", "a@site").granted);
  EXPECT_FALSE(block_claim("sender-new@host", "a@site").granted);
  EXPECT_EQ(read_gdbm(file).size(), kept.size() + 1);
  EXPECT_THAT(pauses, IsEmpty());
}

TEST_F(Recover, AnUndamagedFileKeepsEveryRecord) {
  const std::string file = blockdir + "/a@site";
  const auto original = full_block_file(file);
  const ToolRun r = run_tool({"recover", file});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, file + ": recovered 200 records, 0 lost\n" + file +
                       ": the damaged file is kept as " + file + ".~1~\n");
  EXPECT_EQ(read_gdbm(file), original);
  EXPECT_EQ(read_gdbm(file + ".~1~"), original);
  // A second run keeps a second copy, the first stays.
  EXPECT_EQ(run_tool({"recover", file}).out, file + ": recovered 200 records, 0 lost\n" + file +
                                                 ": the damaged file is kept as " + file +
                                                 ".~2~\n");
  EXPECT_TRUE(exists(file + ".~1~"));
}

TEST_F(Recover, FilesItCannotOpenAreReportedWithStatusTwo) {
  const std::string file = blockdir + "/a@site";
  full_block_file(file);
  const std::string header_damaged = dir.file("header");
  std::filesystem::copy_file(file, header_damaged);
  overwrite(header_damaged, 0, std::string(16, '\xff'));
  const std::string junk = dir.write("junk", std::string(4096, 'j'));
  const std::string empty = dir.write("empty", "");
  const std::string missing = dir.file("missing");
  const ErrorCase cases[] = {
      {{"recover", missing}, missing + ": no such file", 0},
      {{"recover", empty}, empty + ": empty file, not a GDBM database", 0},
      {{"recover", dir.path()}, dir.path() + ": is a directory", 0},
      {{"recover", junk}, junk + ": not a GDBM database (Bad magic number)", 0},
      {{"recover", header_damaged}, header_damaged + ": not a GDBM database", 0},
      {{"recover"}, "recover: wrong number of arguments", 0},
      {{"recover", file, file}, "recover: wrong number of arguments", 0},
      {{"recover", "--dry-run", file}, "--dry-run: unknown option for recover", 0},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string before = c.args.size() == 2 ? read_file(c.args[1]) : "";
    expect_error(c);
    if (c.args.size() == 2) {
      EXPECT_EQ(read_file(c.args[1]), before);
    }
  }
  EXPECT_FALSE(exists(missing));
  // Nothing was rebuilt, so no copy was kept.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().string().find(".~"), std::string::npos) << entry.path();
  }
}

// The damaged file that a recovery keeps, and any other of GDBM's backup
// copies, belong to no receiver: blocks and purge on the directory pass
// them over with one line each, and their status stays that of the block
// files alone. Named on its own, a copy is read like any file.
TEST_F(Recover, BlocksAndPurgeOnADirectoryPassOverBackupCopies) {
  const std::string file = blockdir + "/a@site";
  full_block_file(file);
  ASSERT_TRUE(damage_a_bucket(file)) << "no block whose damage GDBM opens";
  ASSERT_EQ(run_tool({"recover", file}).status, kDbPartly);
  const std::string damaged_copy = file + ".~1~";
  ASSERT_TRUE(exists(damaged_copy));
  record("b@site", "x@host", 1700000000);
  const std::string plain_copy = blockdir + "/b@site.~12~";
  std::filesystem::copy_file(blockdir + "/b@site", plain_copy);
  // Not a backup's name: read as a block file.
  std::filesystem::copy_file(blockdir + "/b@site", blockdir + "/c@site.~1a~");
  const std::string copy_bytes = read_file(damaged_copy);
  const std::string skipped = "orvelt-db: skipped backup " + damaged_copy +
                              "\norvelt-db: skipped backup " + plain_copy + "\n";

  const ToolRun blocks = run_tool({"blocks", blockdir});
  EXPECT_EQ(blocks.status, kDbDone);
  EXPECT_EQ(blocks.err, skipped);
  EXPECT_EQ(blocks.out.find(".~1~"), std::string::npos) << blocks.out;
  EXPECT_EQ(blocks.out.find(".~12~"), std::string::npos) << blocks.out;
  EXPECT_THAT(blocks.out, HasSubstr("\nb@site\tx@host\t"));
  EXPECT_THAT(blocks.out, HasSubstr("\nc@site.~1a~\tx@host\t"));

  for (const auto& args :
       {std::vector<std::string>{"purge", "--dry-run", "--older-than=48", blockdir},
        std::vector<std::string>{"purge", "--older-than=48", blockdir}}) {
    SCOPED_TRACE(args[1]);
    const ToolRun purge = run_tool(args);
    EXPECT_EQ(purge.status, kDbDone);
    EXPECT_EQ(purge.err, skipped);
    EXPECT_TRUE(purge.out.ends_with(" of 3 block files\n")) << purge.out;
    EXPECT_EQ(purge.out.find(".~1~"), std::string::npos) << purge.out;
    EXPECT_EQ(purge.out.find(".~12~"), std::string::npos) << purge.out;
  }
  EXPECT_EQ(read_file(damaged_copy), copy_bytes);
  EXPECT_EQ(read_gdbm(plain_copy).size(), 1u);

  const ToolRun named = run_tool({"blocks", plain_copy});
  EXPECT_EQ(named.status, kDbDone) << named.err;
  EXPECT_EQ(named.err, "");
  EXPECT_EQ(named.out.rfind("b@site.~12~\tx@host\t", 0), 0u) << named.out;
}

TEST(BackupName, OnlyAFileNameFollowedByDotTildeDigitsTilde) {
  const struct {
    const char* name;
    bool backup;
  } cases[] = {
      {"a@site.~1~", true}, {"a@site.~123~", true}, {"x.~1~.~2~", true}, {"a@site", false},
      {"a@site.~~", false}, {"a@site.~1a~", false}, {".~1~", false},     {"a@site~1~", false},
      {"a@site.~1", false}, {"a@site.1~", false},   {"~1~", false},      {"a@site.~-1~", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_gdbm_backup_name(c.name), c.backup) << c.name;
  }
}

TEST_F(Recover, WaitsForTheProgramsLock) {
  const std::string file = blockdir + "/a@site";
  const auto original = full_block_file(file);
  {
    LockHolder reader(file, GDBM_READER);
    release_holder = &reader;
    release_after = 2;
    const ToolRun r = run_tool({"recover", file});
    EXPECT_EQ(r.status, kDbDone) << r.err;
    EXPECT_EQ(pauses.size(), 2u);
    release_holder = nullptr;
  }
  pauses.clear();
  LockHolder writer(file, GDBM_WRITER);
  const ToolRun r = run_tool({"recover", file});
  EXPECT_EQ(r.status, kDbFailed);
  EXPECT_THAT(r.err, HasSubstr(file + ": locked by another process for too long"));
  expect_wait_given_up(pauses);
  writer.release();
  EXPECT_EQ(read_gdbm(file), original);
}

// ---------------------------------------------------------------------------
// The Redis block store of a configuration

class RedisDbTool : public DbTool {
 protected:
  // The commands read the configuration into g_config.
  void TearDown() override {
    config_set_defaults();
    DbTool::TearDown();
  }
  // A configuration whose block store is the servers given.
  std::string config(const std::string& blockstore, const std::string& more = "") {
    return dir.write("orvelt.cfg", "blockstore " + blockstore + "\nblockexpire 48\nblockfiles " +
                                       dir.file("blocks") + "\n" + more);
  }
};

// Block files moved into Redis keep what they know: each record with the
// time it has left; expired and unreadable records stay behind. Then the
// records are shown, one pair removed, and purge only reports.
TEST_F(RedisDbTool, ImportBlocksRemovePurgeRoundTrip) {
  RedisServer replica_primary;
  RedisServer replica(RedisOptions().replica_of(replica_primary));
  RedisServer redis;
  const std::string cfg = config(replica.url() + " " + redis.url());
  std::filesystem::create_directory(dir.file("blocks"));
  const int64_t now = time(nullptr);
  const std::string jane = dir.file("blocks") + "/jane@site";
  store_gdbm_record(jane, std::string("bob@x") + '\0', time_bytes(now - 3600));
  store_gdbm_record(jane, std::string("old@x") + '\0', time_bytes(now - 49 * 3600));
  store_gdbm_record(jane, std::string("bad@x") + '\0', "short");
  store_gdbm_record(dir.file("blocks") + "/joe@site", std::string("a\tb@x") + '\0',
                    time_bytes(now - 60));
  // A record already in Redis is not overwritten.
  redis.command(
      {"SET", redis_block_key("orvelt:", "joe@site", "a\tb@x"), std::to_string(now) + " mx1:1"});

  ToolRun r = run_tool({"import", "-c", cfg, dir.file("blocks")});
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_EQ(r.out, "imported 1 record from 2 block files, 1 expired, 1 already there\n");
  EXPECT_EQ(r.err, "orvelt-db: " + replica.url() + " skipped: a replica\norvelt-db: " + jane +
                       ": left 1 unreadable record alone\n");
  const std::string bob = redis_block_key("orvelt:", "jane@site", "bob@x");
  EXPECT_EQ(redis.get(bob), std::to_string(now - 3600) + " import");
  EXPECT_GE(redis.ttl(bob), 47 * 3600 - 5);
  EXPECT_LE(redis.ttl(bob), 47 * 3600 + 1);

  // Another program's keys under other prefixes, or not shaped as ours,
  // are not shown.
  redis.command({"SET", "orvelt:junk", "1"});
  redis.command({"SET", "other:9:jane@site", "1"});
  r = run_tool({"blocks", "--config", cfg});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "jane@site\tbob@x\t" + format_utc(now - 3600) +
                       "\t1h00m\n"
                       "joe@site\ta\\tb@x\t" +
                       format_utc(now) + "\t0h00m\n");

  r = run_tool({"remove", "-c", cfg, "jane@site", "bob@x"});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "removed the record of bob@x for jane@site\n");
  EXPECT_FALSE(redis.get(bob));
  r = run_tool({"remove", "-c", cfg, "jane@site", "bob@x"});
  EXPECT_EQ(r.status, kDbPartly);
  EXPECT_THAT(r.err, testing::EndsWith("orvelt-db: no record of bob@x for jane@site\n"));

  r = run_tool({"purge", "-c", cfg});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "nothing to purge: keys expire by themselves (1 record now)\n");
}

// Keys expire by themselves, but one dated more than an hour ahead would
// block its sender until then: purge removes it, a dry run only counts.
TEST_F(RedisDbTool, PurgeRemovesRecordsFromTheFuture) {
  RedisServer redis;
  const std::string cfg = config(redis.url());
  const int64_t now = time(nullptr);
  const std::string ahead = redis_block_key("orvelt:", "jane@site", "ahead@x");
  const std::string near = redis_block_key("orvelt:", "jane@site", "near@x");
  const std::string past = redis_block_key("orvelt:", "jane@site", "past@x");
  redis.command({"SET", ahead, std::to_string(now + 7200) + " mx1:1"});
  redis.command({"SET", near, std::to_string(now + 3000) + " mx1:1"});
  redis.command({"SET", past, std::to_string(now - 60) + " mx1:1"});

  ToolRun r = run_tool({"purge", "--dry-run", "-c", cfg});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "would remove 1 record from the future\n"
            "nothing else to purge: keys expire by themselves (2 records now)\n");
  EXPECT_TRUE(redis.get(ahead));

  r = run_tool({"purge", "-c", cfg});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out,
            "removed 1 record from the future\n"
            "nothing else to purge: keys expire by themselves (2 records now)\n");
  EXPECT_FALSE(redis.get(ahead));
  EXPECT_TRUE(redis.get(near));
  EXPECT_TRUE(redis.get(past));
}

// Records that know their text and their own interval: blocks shows both
// after the four fields of every record, purge goes by the record's own
// interval, and import keeps both, the key living as long as the record's
// own interval has left.
TEST_F(RedisDbTool, TagAndOwnIntervalAreShownPurgedByAndKeptOnImport) {
  RedisServer redis;
  const std::string cfg = config(redis.url());
  std::filesystem::create_directory(dir.file("blocks"));
  const std::string file = dir.file("blocks") + "/jane@site";
  const int64_t now = time(nullptr);
  const std::string tag = "e0123456789abcdef";
  const struct Record {
    const char* sender;
    BlockRecord record;
    std::string shown;  // the fields after the age
  } records[] = {
      {"tagged@x", {now - 3600, std::nullopt, tag}, "\t" + tag + "\t-"},
      {"own@x", {now - 3600, 4 * 3600, ""}, "\t-\t4h00m"},
      {"both@x", {now - 3600, 2 * 3600, "i00000000000000ff"}, "\ti00000000000000ff\t2h00m"},
      {"ended@x", {now - 3 * 3600, 2 * 3600, tag}, "\t" + tag + "\t2h00m"},
      {"plain@x", {now - 3 * 3600, std::nullopt, ""}, ""},
  };
  std::string expected;
  for (const Record& r : records) {
    store_gdbm_record(file, std::string(r.sender) + '\0', gdbm_block_value(r.record));
  }
  for (const char* sender : {"both@x", "ended@x", "own@x", "plain@x", "tagged@x"}) {
    for (const Record& r : records) {
      if (std::string(r.sender) != sender) continue;
      expected += "jane@site\t" + std::string(sender) + "\t" + format_utc(r.record.time) + "\t" +
                  format_age(now - r.record.time) + r.shown + "\n";
    }
  }
  ToolRun r = run_tool({"blocks", file});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, expected);

  r = run_tool({"import", "-c", cfg, dir.file("blocks")});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "imported 4 records from 1 block file, 1 expired, 0 already there\n");
  const std::string both = redis_block_key("orvelt:", "jane@site", "both@x");
  EXPECT_EQ(redis.get(both), std::to_string(now - 3600) + " import p=7200 t=i00000000000000ff");
  EXPECT_GE(redis.ttl(both), 3600 - 5);
  EXPECT_LE(redis.ttl(both), 3600 + 1);
  EXPECT_EQ(redis.get(redis_block_key("orvelt:", "jane@site", "tagged@x")),
            std::to_string(now - 3600) + " import t=" + tag);
  EXPECT_FALSE(redis.get(redis_block_key("orvelt:", "jane@site", "ended@x")));
  r = run_tool({"blocks", "-c", cfg});
  EXPECT_NE(r.out.find("jane@site\tboth@x\t" + format_utc(now - 3600) +
                       "\t1h00m\ti00000000000000ff\t2h00m\n"),
            std::string::npos)
      << r.out;

  // Only the record whose own two hours have run out goes.
  r = run_tool({"purge", "--older-than", "48", file});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "jane@site: removed 1 of 5 records\npurged 1 record from 1 of 1 block file\n");
  const auto left = read_gdbm(file);
  EXPECT_EQ(left.size(), 4u);
  EXPECT_FALSE(left.contains(std::string("ended@x") + '\0'));
}

// A claim's record before its reply is confirmed is shown as pending, one
// field after the others (tag and period "-" when it has none); confirmed,
// it is shown as every record.
TEST_F(RedisDbTool, PendingRecordsAreShownAsSuchInBlockFilesAndInRedis) {
  RedisServer redis;
  std::filesystem::create_directory(dir.file("blocks"));
  g_config.blockfiles = dir.file("blocks");
  g_config.blockstore.clear();
  GdbmBlockStore files(g_config);
  const BlockClaim plain = *files.claim("plain@x", "jane@site");
  ASSERT_TRUE(plain.stored);
  const int64_t at = gdbm_block_record(*plain.stored)->time;
  const std::string file = dir.file("blocks") + "/jane@site";
  ToolRun r = run_tool({"blocks", file});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  const std::string shown = "jane@site\tplain@x\t" + format_utc(at) + "\t";
  EXPECT_EQ(r.out.rfind(shown, 0), 0u) << r.out;
  EXPECT_TRUE(r.out.ends_with("\t-\t-\tpending\n")) << r.out;
  files.confirm(plain, "plain@x", "jane@site");
  r = run_tool({"blocks", file});
  EXPECT_EQ(r.out.find('\t', shown.size()), std::string::npos) << r.out;

  g_config.blockstore = {redis.url()};
  RedisBlockStore shared(g_config, redis_log_voice());
  const std::string tag = "e0123456789abcdef";
  ASSERT_TRUE(shared.claim(ClaimRequest{"own@x", "jane@site", tag, 3})->granted);
  r = run_tool({"blocks", "-c", config(redis.url())});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_TRUE(r.out.starts_with("jane@site\town@x\t")) << r.out;
  EXPECT_TRUE(r.out.ends_with("\t" + tag + "\t3h00m\tpending\n")) << r.out;
}

TEST_F(RedisDbTool, ConfigCommandErrorsAreReportedWithStatusTwo) {
  ClosedPort down;
  RedisServer locked(RedisOptions().password("right"));
  const std::string gdbm = dir.write("gdbm.cfg", "blockstore gdbm\n");
  const std::string unreachable = dir.write("down.cfg", "blockstore " + down.url() + "\n");
  const std::string refused =
      dir.write("locked.cfg", "blockstore " + locked.url() + "\nblockstore_password wrong\n");
  const std::string zero =
      dir.write("zero.cfg", "blockstore " + locked.url() + "\nblockexpire 0\n");
  const std::string missing = dir.file("missing.cfg");
  std::filesystem::create_directory(dir.file("blocks"));
  const std::string files = config("gdbm");
  const ErrorCase cases[] = {
      {{"blocks"}, "blocks needs FILE|DIR or -c CONFIG", 0},
      {{"purge", "--older-than", "1"}, "purge needs FILE|DIR or -c CONFIG", 0},
      {{"blocks", "-c", gdbm, dir.file("blocks")},
       "blocks takes FILE|DIR or -c CONFIG, not both",
       0},
      {{"blocks", "-c"}, "-c needs a value", 0},
      {{"blocks", "-c", missing}, missing + ": No such file or directory", 0},
      {{"remove", "-c", gdbm, "r@x"}, "remove: wrong number of arguments", 0},
      {{"remove", "-c", gdbm, "r@x", "s@x", "t@x"}, "remove -c CONFIG needs RECEIVER SENDER", 0},
      {{"remove", "-c", gdbm, "r@x", "s@x"},
       "blockstore is gdbm: remove BLOCKFILE SENDER instead",
       0},
      {{"import", dir.file("blocks")}, "import needs -c CONFIG", 0},
      {{"import", "-c", gdbm, dir.file("blocks")}, gdbm + ": blockstore names no Redis server", 0},
      {{"import", "-c", zero, dir.file("blocks")}, "blockexpire 0: nothing blocks", 0},
      {{"blocks", "-c", unreachable},
       down.url() + " skipped: Connection refused\norvelt-db: no Redis server of blockstore usable",
       0},
      {{"purge", "-c", refused}, locked.url() + ": WRONGPASS", 0},
      {{"list", "-c", gdbm, "db"}, "-c: unknown option for list", 0},
      {{"add", "-c", files, "r@x"}, "add: wrong number of arguments", 0},
      {{"add", "-c", files, "r@x", "s@x", "t@x"}, "add -c CONFIG needs RECEIVER SENDER", 0},
      {{"add", "--address", "-c", files, "r@x", "s@x"}, "add -c CONFIG needs RECEIVER SENDER", 0},
      {{"add", "-c", zero, "r@x", "s@x"}, "blockexpire 0: nothing blocks, nothing to add", 0},
      {{"add", "-c", files, "r@x", "s@x"},
       dir.file("blocks") + "/r@x: no block file for r@x (orvelt makes it with the first reply)",
       0},
      {{"add", "-c", files, "../r@x", "s@x"}, "no block record can be kept for ../r@x", 0},
      {{"add", "-c", unreachable, "r@x ", "s@x"}, "no block record can be kept for r@x ", 0},
      {{"add", "-c", unreachable, "r@x", "s@x"}, "no Redis server of blockstore usable", 0},
  };
  for (const ErrorCase& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += " " + a;
    SCOPED_TRACE("orvelt-db" + line);
    const ToolRun r = run_tool(c.args);
    EXPECT_EQ(r.status, kDbFailed);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.out, IsEmpty());
  }
  EXPECT_TRUE(locked.keys().empty());
}

// After "confirmation lost" in the log, the operator puts the record back:
// the full record of a reply made now, over the pending one (or none), in
// Redis or in the receiver's block file, as a confirmation would leave it.
TEST_F(RedisDbTool, AddWritesTheFullRecordOfAReplyIntoTheConfiguredStore) {
  RedisServer redis;
  std::filesystem::create_directory(dir.file("blocks"));
  g_config.blockfiles = dir.file("blocks");
  g_config.blockstore.clear();
  GdbmBlockStore files(g_config);
  ASSERT_TRUE(files.claim("lost@x", "jane@site")->stored);
  g_config.blockstore = {redis.url()};
  RedisBlockStore shared(g_config, redis_log_voice());
  ASSERT_TRUE(shared.claim("lost@x", "jane@site")->stored);

  const int64_t before = time(nullptr);
  for (const char* sender : {"lost@x", "new@x"}) {
    for (const std::string& store : {std::string("gdbm"), redis.url()}) {
      SCOPED_TRACE(std::string(sender) + " in " + store);
      const ToolRun r = run_tool({"add", "-c", config(store), "jane@site", sender});
      EXPECT_EQ(r.status, kDbDone) << r.err;
      EXPECT_EQ(r.out, "added the record of " + std::string(sender) + " for jane@site\n");
      EXPECT_EQ(r.err, "");
      std::optional<BlockRecord> record;
      if (store == "gdbm") {
        record = gdbm_block_record(
            read_gdbm(dir.file("blocks") + "/jane@site").at(sender + std::string(1, '\0')));
      } else {
        const std::string key = redis_block_key("orvelt:", "jane@site", sender);
        record = redis_block_record(redis.get(key).value_or(""));
        EXPECT_GE(redis.ttl(key), 48 * 3600 - 1);
      }
      ASSERT_TRUE(record);
      EXPECT_GE(record->time, before);
      EXPECT_LE(record->time, time(nullptr));
      EXPECT_FALSE(record->period);
      EXPECT_EQ(record->tag, "");
      EXPECT_FALSE(record->lease);
    }
  }
}

// Without Redis, -c names the block files of the configuration.
TEST_F(RedisDbTool, ConfigWithGdbmShowsAndPurgesTheBlockFiles) {
  std::filesystem::create_directory(dir.file("blocks"));
  const int64_t now = time(nullptr);
  store_gdbm_record(dir.file("blocks") + "/jane@site", std::string("old@x") + '\0',
                    time_bytes(now - 50 * 3600));
  const std::string cfg = config("gdbm");
  ToolRun r = run_tool({"blocks", "-c", cfg});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "jane@site\told@x\t" + format_utc(now - 50 * 3600) + "\t50h00m\n");
  r = run_tool({"purge", "-c", cfg, "--older-than", "48"});
  EXPECT_EQ(r.status, kDbDone) << r.err;
  EXPECT_EQ(r.out, "jane@site: removed 1 of 1 record\npurged 1 record from 1 of 1 block file\n");
}

}  // namespace
