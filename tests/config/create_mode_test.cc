// The creation mode as the built program applies it: a umask line that would
// leave the owner unable to read or write its block files is refused, so the
// file the first reply creates is one the next run opens and is blocked by.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/recording_mta.h"
#include "support/run_program.h"
#include "support/shared_directory_test.h"
#include "support/slapd_server.h"

namespace {

class CreationMode : public SharedDirectoryTest {
 protected:
  static void SetUpTestSuite() {
    start_directory(ldif_people_unit() +
                    ldif_person("jane", "jane@example.org", "TRUE", {"Away.\n"}));
  }
};

// Restores the process umask when the test ends, however it ends.
class ProcessUmask {
 public:
  explicit ProcessUmask(mode_t mask) : saved_(umask(mask)) {}
  ~ProcessUmask() { umask(saved_); }
  ProcessUmask(const ProcessUmask&) = delete;
  ProcessUmask& operator=(const ProcessUmask&) = delete;

 private:
  mode_t saved_;
};

TEST_F(CreationMode, BlockFileKeepsOwnerReadAndWrite) {
  const ProcessUmask mask(022);
  const struct Case {
    std::string umask;
    mode_t file_mode;
    bool refused;
  } cases[] = {
      {"0000", 0600, true}, {"0200", 0600, true},  {"0400", 0600, true},
      {"0044", 0600, true}, {"0640", 0640, false}, {"0600", 0600, false},
  };
  const std::string message = "From: box@host\nTo: jane@example.org\n\nhello\n";
  const std::string block_file = blockdir_ + "/jane@example.org";
  for (const Case& c : cases) {
    SCOPED_TRACE("umask " + c.umask);
    unlink(block_file.c_str());
    RecordingMta mta;
    const std::string cfg = base_config()
                                .set("blockexpire", "48")
                                .set("loglevel", "0")
                                .set("umask", c.umask)
                                .write(dir_);
    std::vector<LogRecord> expected_log;
    if (c.refused) {
      expected_log.push_back({LOG_WARNING, "WARN/CFG umask " + c.umask +
                                               " would make block files the program cannot "
                                               "read; 0600 used"});
    }
    for (int run = 0; run < 2; ++run) {
      const ProgramResult r = run_orvelt({"-c", cfg}, message);
      EXPECT_EQ(r.exit_status, 0) << "run " << run << ": " << r.err;
      EXPECT_EQ(r.log, expected_log) << "run " << run;
    }
    // The second run found the first one's record.
    EXPECT_EQ(mta.calls().size(), 1u);
    struct stat status;
    ASSERT_EQ(stat(block_file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.file_mode);
  }
}

}  // namespace
