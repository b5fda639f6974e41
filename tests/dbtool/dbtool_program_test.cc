// The built orvelt-db next to the built orvelt: what the tool writes, the
// program reads, and what the program records, the tool shows and purges.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <regex>

#include "support/gdbm_file.h"
#include "support/log_capture.h"
#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/slapd_server.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

const std::string kNul(1, '\0');

ProgramResult run_db(const std::vector<std::string>& args, const std::string& input = "") {
  ProgramRun run;
  run.program = ORVELT_DB_BINARY;
  run.args = args;
  run.stdin_text = input;
  return run_program(run);
}

std::string time_bytes(int64_t t) {
  std::string bytes(sizeof t, '\0');
  memcpy(bytes.data(), &t, sizeof t);
  return bytes;
}

class DbToolProgram : public testing::Test {
 protected:
  // orvelt with config at loglevel 3. A declined message never needs the
  // directory, so the tests that decline configure none.
  ProgramResult orvelt(const TestConfig& config, const std::string& message,
                       std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", TestConfig(config).set("loglevel", "3").write(dir)});
    ProgramRun run;
    run.args = args;
    run.stdin_text = message;
    return run_program(run);
  }

  TempDir dir;
};

TEST_F(DbToolProgram, ShippedBadHeaderListDeclinesMatchingMail) {
  const std::string db = dir.file("badheaders.db");
  const ProgramResult load =
      run_db({"load", db, std::string(ORVELT_SOURCE_DIR) + "/etc/badheaders.txt"});
  ASSERT_EQ(load.exit_status, 0) << load.err;
  EXPECT_THAT(load.out, HasSubstr(" new, 0 already there\n"));
  EXPECT_THAT(load.log, IsEmpty());  // an operator's tool: nothing in the mail log

  const TestConfig config = TestConfig().set("badheaders", db);
  ProgramResult r = orvelt(config, "From: a@host\nTo: b@site\nX-Spam-Flag: YES\n\nbody\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mail_code(r.log), 16);
  // Not byte for byte in the list: the header does not count (the Sender
  // header alone declines the message, so no directory is needed).
  r = orvelt(config, "From: a@host\nTo: b@site\nX-Spam-Flag:  YES\nSender: s@host\n\nbody\n");
  EXPECT_EQ(mail_code(r.log), 256);

  // Removed by the tool, the line no longer counts.
  const ProgramResult removed = run_db({"remove", db, "X-Spam-Flag: YES"});
  EXPECT_EQ(removed.exit_status, 0) << removed.err;
  r = orvelt(config, "From: a@host\nTo: b@site\nX-Spam-Flag: YES\nSender: s@host\n\nbody\n");
  EXPECT_EQ(mail_code(r.log), 256);
}

TEST_F(DbToolProgram, BlacklistLoadedWithAddressRefusesTheReceiver) {
  const std::string db = dir.file("blacklist.db");
  const ProgramResult load =
      run_db({"load", "--address", db}, "Listed User <LISTED@Site>\n\n(?)\n");
  EXPECT_EQ(load.exit_status, 1);
  EXPECT_EQ(load.err, "orvelt-db: standard input:3: holds no address; skipped\n");
  EXPECT_EQ(read_gdbm(db), (std::map<std::string, std::string>{{"listed@site" + kNul, ""}}));

  const TestConfig config = TestConfig().set("blacklist", db);
  // The sole receiver from the To header is blacklisted: nobody is left.
  ProgramResult r = orvelt(config, "From: a@host\nTo: Listed@SITE\n\nbody\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(mail_code(r.log), 129);
  // So is a forced receiver.
  r = orvelt(config, "From: a@host\n\nbody\n", {"-a", "listed@site"});
  EXPECT_EQ(mail_code(r.log), 133);

  EXPECT_EQ(run_db({"has", db, "listed@site"}).exit_status, 0);
  EXPECT_EQ(run_db({"has", db, "Listed@Site"}).exit_status, 1);
}

TEST_F(DbToolProgram, ErrorsGoToStandardErrorWithStatusTwo) {
  const ProgramResult missing = run_db({"list", dir.file("missing")});
  EXPECT_EQ(missing.exit_status, 2);
  EXPECT_EQ(missing.err, "orvelt-db: " + dir.file("missing") + ": no such file\n");
  EXPECT_THAT(missing.out, IsEmpty());
  EXPECT_THAT(missing.log, IsEmpty());

  const ProgramResult usage = run_db({});
  EXPECT_EQ(usage.exit_status, 2);
  EXPECT_EQ(usage.err, "orvelt-db: no command given\nTry 'orvelt-db --help'.\n");

  const ProgramResult help = run_db({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("usage: orvelt-db", 0), 0u);
}

// A configuration named by -c that is no regular file is never read: a
// FIFO would hold the tool for ever, a device feed it without end.
TEST_F(DbToolProgram, ConfigurationThatIsNoRegularFileIsRefused) {
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    ProgramRun run;
    run.program = ORVELT_DB_BINARY;
    run.args = {"blocks", "-c", path};
    run.time_limit = 20;
    const ProgramResult r = run_program(run);
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "orvelt-db: " + path + ": not a regular file\n");
    EXPECT_THAT(r.out, IsEmpty());
  }
}

// With a directory: orvelt answers and records, the tool shows the record
// and purges around it, and orvelt still reads the purged file.
class DbToolWithDirectory : public DbToolProgram {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(blockdir.c_str(), 0700), 0); }

  ProgramResult answer(const std::string& to) {
    return orvelt(TestConfig(server, blockdir).set("mta", RecordingMta::program() + " $sender"),
                  "From: Some Name <Box@Host>\nTo: " + to + "\nSubject: Hi\n\nbody\n");
  }

  SlapdServer server{SlapdOptions().entries(
      ldif_people_unit() + ldif_person("local", "local.user@site", "TRUE", {"away\n"}))};
  std::string blockdir = dir.file("block");
};

TEST_F(DbToolWithDirectory, BlocksShowsAndPurgeKeepsWhatOrveltRecorded) {
  RecordingMta mta;
  ASSERT_EQ(answer("local.user@site").exit_status, 0);
  ASSERT_EQ(mta.calls().size(), 1u);

  ProgramResult shown = run_db({"blocks", blockdir});
  EXPECT_EQ(shown.exit_status, 0) << shown.err;
  EXPECT_TRUE(std::regex_match(
      shown.out, std::regex("local\\.user@site\tbox@host\t"
                            "20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] UTC"
                            "\t0h[0-9][0-9]m\n")))
      << shown.out;

  // An older record beside it, as a reply of long ago would have left.
  const std::string file = blockdir + "/local.user@site";
  store_gdbm_record(file, "old@host" + kNul, time_bytes(time(nullptr) - 200 * 3600));
  const ProgramResult purged = run_db({"purge", "--older-than", "48", blockdir});
  EXPECT_EQ(purged.exit_status, 0) << purged.err;
  EXPECT_EQ(purged.out,
            "local.user@site: removed 1 of 2 records\npurged 1 record from 1 of 1 block file\n");
  EXPECT_EQ(read_gdbm(file).count("old@host" + kNul), 0u);
  EXPECT_EQ(read_gdbm(file).count("box@host" + kNul), 1u);

  // The reorganised file still suppresses the repeat.
  const ProgramResult again = answer("local.user@site");
  EXPECT_EQ(again.exit_status, 0);
  EXPECT_EQ(mta.calls().size(), 1u);
}

}  // namespace
